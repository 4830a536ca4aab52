#include "connection/RdaClientUpdate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QString>

#include "base/CodePage.h"
#include "base/Exception.h"

namespace rda {

namespace {

// The restart script gives up when the program has not ended within this many tenths
// of a second.
constexpr int kRestartWaitTenths = 600;

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
std::string S(const QString& text) { return text.toStdString(); }
// Names that come from the server or the application are texts of the system's code
// page; the file system's are UTF-8.
std::string FileName(const std::string& cp1252) { return Cp1252ToUtf8(cp1252); }

QString ProgramFolder(const TRdaRunningProgram& program) {
  return QFileInfo(Q(program.Path)).absolutePath();
}

std::string InFolder(const TRdaRunningProgram& program, const char* name) {
  return S(QDir(ProgramFolder(program)).filePath(QString::fromLatin1(name)));
}

[[noreturn]] void RaiseCreate(const QString& path, const QString& reason) {
  throw EFCreateError("Cannot create file \"" + S(QDir::toNativeSeparators(path)) + "\". " + S(reason));
}

// Writes `bytes` as `path` completely or not at all (QSaveFile: a temporary file
// renamed over the target), and checks its length on disk.
void WriteWhole(const QString& path, std::string_view bytes) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) RaiseCreate(path, file.errorString());
  const auto size = static_cast<qint64>(bytes.size());
  if (file.write(bytes.data(), size) != size || !file.commit())
    throw EWriteError("Stream write error: " + S(path) + ": " + S(file.errorString()));
  const qint64 written = QFileInfo(path).size();
  if (written != size) {
    QFile::remove(path);
    throw EWriteError("Stream write error: " + S(path) + " holds " + std::to_string(written) +
                      " of the " + std::to_string(size) + " bytes that arrived");
  }
}

constexpr QFileDevice::Permissions kRunnable =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
    QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

void WriteLines(const QString& path, const std::vector<std::string>& lines) {
#ifdef _WIN32
  constexpr std::string_view kEnd = "\r\n";
#else
  constexpr std::string_view kEnd = "\n";
#endif
  std::string text;
  for (const std::string& line : lines) (text += line) += kEnd;
  WriteWhole(path, text);
  QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool StartScript(const TRdaRunningProgram& program, const QString& script) {
  QProcess process;
#ifdef _WIN32
  process.setProgram(QStringLiteral("cmd.exe"));
  process.setArguments({QStringLiteral("/c"), script});
  process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* args) {
    args->flags |= 0x08000000;  // CREATE_NO_WINDOW: hidden, as a shell open with SW_HIDE
  });
#else
  process.setProgram(QStringLiteral("/bin/sh"));
  process.setArguments({script});
#endif
  process.setWorkingDirectory(Q(program.WorkingFolder));
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  return process.startDetached();
}

// Names the Windows command interpreter would split or read as syntax go in double
// quotes; the others stay as they are.
std::string BatchQuote(const std::string& name) {
  if (name.find_first_of(" \t&()[]{}^=;!'+,`~%") == std::string::npos) return name;
  return "\"" + name + "\"";
}

class TSegmentFile final : public TRdaFileSink {
 public:
  explicit TSegmentFile(const QString& path) : file_(path) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
      RaiseCreate(path, QStringLiteral("Its folder cannot be created."));
    if (!file_.open(QIODevice::WriteOnly)) RaiseCreate(path, file_.errorString());
  }
  // Without Finish, QSaveFile removes what it wrote and the target stays as it was.
  ~TSegmentFile() override = default;

  int64_t Size() const override { return size_; }
  void Append(std::string_view bytes) override {
    const auto n = static_cast<qint64>(bytes.size());
    if (file_.write(bytes.data(), n) != n)
      throw EWriteError("Stream write error: " + S(file_.fileName()) + ": " + S(file_.errorString()));
    size_ += n;
  }
  void Finish() override {
    if (!file_.commit())
      throw EWriteError("Stream write error: " + S(file_.fileName()) + ": " + S(file_.errorString()));
  }

 private:
  QSaveFile file_;
  int64_t size_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// The scripts

std::string ShellQuote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string ShellCommandLine(const TRdaRunningProgram& program) {
  std::string line = ShellQuote(program.Path);
  for (const std::string& a : program.Arguments) line += " " + ShellQuote(a);
  return line;
}

std::vector<std::string> RestartScriptLines(const TRdaRunningProgram& program, int64_t size) {
  const std::string name = S(QFileInfo(Q(program.Path)).fileName());
  const std::string old = ShellQuote(name + ".OLD");
  const std::string current = ShellQuote(name);
  const std::string temp = ShellQuote(kUpdateTempFile);
  const std::string self = ShellQuote(kRestartScript);
  const std::string giveUp = "rm -f " + temp + " " + self + "; exit 1";
  return {
      "#!/bin/sh",
      "# Puts the updated program in place once the running one has ended, and starts it again.",
      "cd " + ShellQuote(S(ProgramFolder(program))) + " || exit 1",
      "n=0",
      "while kill -0 " + std::to_string(program.Pid) + " 2>/dev/null; do",
      "  n=$((n + 1))",
      "  if [ $n -gt " + std::to_string(kRestartWaitTenths) + " ]; then " + giveUp + "; fi",
      "  sleep 0.1",
      "done",
      "if [ ! -f " + temp + " ] || [ \"$(wc -c < " + temp + ")\" -ne " + std::to_string(size) +
          " ]; then " + giveUp + "; fi",
      "rm -f " + old,
      "mv -f " + current + " " + old + " || exit 1",
      "if ! mv -f " + temp + " " + current + "; then mv -f " + old + " " + current + "; exit 1; fi",
      "(cd " + ShellQuote(program.WorkingFolder) + " && exec " + ShellCommandLine(program) +
          ") </dev/null >/dev/null 2>&1 &",
      "rm -f " + self,
  };
}

std::vector<std::string> PatcherScriptLines(const TRdaRunningProgram& program,
                                            const std::string& patchFile) {
  return {
      ShellQuote(InFolder(program, kPatcherFile)) + " -p" + ShellQuote(patchFile) + " -f" +
          ShellQuote(program.Path),
      "(cd " + ShellQuote(program.WorkingFolder) + " && exec " + ShellCommandLine(program) +
          ") </dev/null >/dev/null 2>&1 &",
      "rm -f " + ShellQuote(InFolder(program, kRestartScript)),
  };
}

std::vector<std::string> RestartBatchLines(const std::string& programName,
                                           const std::string& commandLine) {
  const std::string e = BatchQuote(programName);
  const std::string o = BatchQuote(programName + ".OLD");
  return {"DEL " + o,
          ":xRetry",
          "ReName " + e + " " + o,
          "if not exist " + o + " goto xRetry",
          "Rename TempFile.exe " + e,
          "Call " + commandLine,
          "Del ReStart.Bat"};
}

std::vector<std::string> PatcherBatchLines(const std::string& folder, const std::string& patchFile,
                                           const std::string& programPath,
                                           const std::string& commandLine) {
  return {BatchQuote(folder + "patcher.exe") + " -p" + BatchQuote(patchFile) + " -f" +
              BatchQuote(programPath),
          "Call " + commandLine, "Del " + BatchQuote(folder + "ReStart.bat")};
}

// ---------------------------------------------------------------------------------------
// TRdaProgramFiles

TRdaProgramFiles::TRdaProgramFiles(std::function<TRdaRunningProgram()> program)
    : program_(std::move(program)) {}

bool TRdaProgramFiles::PatcherPresent() {
  return QFileInfo::exists(Q(InFolder(program_(), kPatcherFile)));
}

void TRdaProgramFiles::SavePatcher(std::string_view bytes) {
  const QString path = Q(InFolder(program_(), kPatcherFile));
  WriteWhole(path, bytes);
  QFile::setPermissions(path, kRunnable);
}

void TRdaProgramFiles::StartRestart(std::string_view update) {
  const TRdaRunningProgram program = program_();
  const QString temp = Q(InFolder(program, kUpdateTempFile));
  const QString script = Q(InFolder(program, kRestartScript));
  WriteWhole(temp, update);
  QFile::setPermissions(temp, QFile::permissions(Q(program.Path)) | QFileDevice::ExeOwner);
#ifdef _WIN32
  const QFileInfo info(Q(program.Path));
  std::string commandLine = BatchQuote(program.Path);
  for (const std::string& a : program.Arguments) commandLine += " " + BatchQuote(a);
  // The batch names its files relative to the folder it runs in: the program's.
  TRdaRunningProgram inFolder = program;
  inFolder.WorkingFolder = S(info.absolutePath());
  WriteLines(script, RestartBatchLines(S(info.fileName()), commandLine));
  const bool started = StartScript(inFolder, script);
#else
  WriteLines(script, RestartScriptLines(program, static_cast<int64_t>(update.size())));
  const bool started = StartScript(program, script);
#endif
  if (!started) {
    QFile::remove(temp);
    QFile::remove(script);
    throw Exception("The restart script " + S(script) + " could not be started");
  }
}

std::vector<std::string> TRdaProgramFiles::PreparePatch(std::string_view patch,
                                                        const std::string& patchFile) {
  const TRdaRunningProgram program = program_();
  const std::string name = FileName(patchFile);
  WriteWhole(QDir(Q(program.WorkingFolder)).absoluteFilePath(Q(name)), patch);
#ifdef _WIN32
  std::string commandLine = BatchQuote(program.Path);
  for (const std::string& a : program.Arguments) commandLine += " " + BatchQuote(a);
  const std::string folder = S(QDir::toNativeSeparators(ProgramFolder(program) + "/"));
  return PatcherBatchLines(folder, patchFile, program.Path, commandLine);
#else
  return PatcherScriptLines(program, name);
#endif
}

void TRdaProgramFiles::WriteScript(const std::vector<std::string>& lines, bool start) {
  const TRdaRunningProgram program = program_();
  const QString script = Q(InFolder(program, kRestartScript));
  WriteLines(script, lines);
  if (start && !StartScript(program, script))
    throw Exception("The script " + S(script) + " could not be started");
}

std::unique_ptr<TRdaFileSink> TRdaProgramFiles::CreateSegmentFile(const std::string& localFileName) {
  CheckSegmentName(localFileName);
  QString name = Q(FileName(localFileName));
  name.replace(QLatin1Char('\\'), QLatin1Char('/'));
  return std::make_unique<TSegmentFile>(QDir(ProgramFolder(program_())).filePath(name));
}

}  // namespace rda
