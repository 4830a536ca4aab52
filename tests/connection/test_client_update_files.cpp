// Writing what a server sends into the program's folder (TRdaProgramFiles), and the
// scripts that swap a new program in: run for real by /bin/sh in a scratch folder
// whose names hold blanks, quotes and $.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "base/Exception.h"
#include "connection/RdaClientUpdate.h"
#include "tests/base/RaisesWith.h"
#include "tests/support/FolderWatch.h"

namespace rda {
namespace {

using test::RaisesWith;
using test::WaitForFolder;

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

void Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
  f.write(bytes);
}

// The id of a process that has ended (and been reaped), as a program's would be once
// it has exited.
int64_t EndedPid() {
  QProcess p;
  p.start(QStringLiteral("/bin/true"), {});
  p.waitForStarted(10000);
  const int64_t pid = p.processId();
  p.waitForFinished(10000);
  return pid;
}

// A program for /bin/sh that writes the folder it runs in and its arguments, one per
// line, to `report` (through a temporary name, so that the report appears whole).
QByteArray ReportingProgram(const QString& report) {
  const std::string quoted = ShellQuote(report.toStdString());
  return QByteArray::fromStdString("#!/bin/sh\n{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > " +
                                   quoted + ".tmp && mv " + quoted + ".tmp " + quoted + "\n");
}

QStringList Lines(const QByteArray& text) {
  QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
  return lines;
}

class ProgramFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.isValid());
    root = scratch.path();
    folder = root + "/app dir 'q' $HOME";
    work = root + "/work \"dir\"";
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QDir().mkpath(work));
    program.Path = (folder + "/my prog").toStdString();
    program.Arguments = {"one two", "it's", "$HOME", "a\"b", ""};
    program.WorkingFolder = work.toStdString();
    program.Pid = EndedPid();
    Write(folder + "/my prog", "#!/bin/sh\necho old\n");
    QFile::setPermissions(folder + "/my prog", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner);
  }
  QString InFolder(const char* name) const { return folder + "/" + name; }
  QStringList ExpectedReport() const {
    QStringList lines{work};
    for (const std::string& a : program.Arguments) lines << QString::fromStdString(a);
    return lines;
  }

  QTemporaryDir scratch;
  QString root, folder, work;
  TRdaRunningProgram program;
  TRdaProgramFiles files{[this] { return program; }};
};

// The new program goes in under the old one's name once the old one has ended, with
// the old one's permissions; the old file stays as .OLD; the program runs again from
// the folder it was started in with its arguments as they were; the script removes
// itself and TempFile.exe is gone.
TEST_F(ProgramFiles, TheRestartSwapsTheProgramAndStartsItWithItsCommandLine) {
  const QString report = root + "/report";
  const QByteArray update = ReportingProgram(report);
  files.StartRestart(update.toStdString());
  ASSERT_TRUE(WaitForFolder(root, [&] { return QFile::exists(report); }));
  EXPECT_EQ(Lines(ReadAll(report)), ExpectedReport());
  ASSERT_TRUE(WaitForFolder(folder, [&] { return !QFile::exists(InFolder("ReStart.sh")); }));
  EXPECT_EQ(ReadAll(InFolder("my prog")), update);
  EXPECT_EQ(ReadAll(InFolder("my prog.OLD")), "#!/bin/sh\necho old\n");
  EXPECT_FALSE(QFile::exists(InFolder("TempFile.exe")));
  EXPECT_TRUE(QFileInfo(InFolder("my prog")).isExecutable());
}

// The script checks the new file's length again before the swap: a file that is not
// what arrived is not put in, and the program stays as it was.
TEST_F(ProgramFiles, ARestartWhoseFileIsNotWholeLeavesTheProgram) {
  Write(InFolder("TempFile.exe"), "short");
  std::string text;
  for (const std::string& line : RestartScriptLines(program, 6)) text += line + "\n";
  Write(InFolder("ReStart.sh"), QByteArray::fromStdString(text));
  QProcess sh;
  sh.setWorkingDirectory(work);
  sh.start(QStringLiteral("/bin/sh"), {InFolder("ReStart.sh")});
  ASSERT_TRUE(sh.waitForFinished(20000));
  EXPECT_EQ(sh.exitCode(), 1);
  EXPECT_EQ(ReadAll(InFolder("my prog")), "#!/bin/sh\necho old\n");
  EXPECT_FALSE(QFile::exists(InFolder("my prog.OLD")));
  EXPECT_FALSE(QFile::exists(InFolder("TempFile.exe")));
  EXPECT_FALSE(QFile::exists(InFolder("ReStart.sh")));
}

TEST_F(ProgramFiles, ARestartThatCannotWriteRaisesAndStartsNothing) {
  program.Path = (root + "/gone/prog").toStdString();
  try {
    files.StartRestart("NEW");
    ADD_FAILURE() << "nothing raised";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + root.toStdString() + "/gone/TempFile.exe\". ", 0), 0u)
        << e.what();
  }
  EXPECT_FALSE(QFile::exists(root + "/gone"));
}

// The patcher is made runnable; a patch is saved under PatchFile (from the folder the
// program was started in) and its script runs the patcher on it, then the program.
TEST_F(ProgramFiles, ThePatchScriptRunsThePatcherAndThenTheProgram) {
  EXPECT_FALSE(files.PatcherPresent());
  const QString patcherReport = root + "/patcher-report";
  files.SavePatcher(ReportingProgram(patcherReport).toStdString());
  EXPECT_TRUE(files.PatcherPresent());
  EXPECT_TRUE(QFileInfo(InFolder("patcher.exe")).isExecutable());

  const QString report = root + "/report";
  Write(InFolder("my prog"), ReportingProgram(report));
  const std::vector<std::string> lines = files.PreparePatch("PATCH", "my patch's.pat");
  EXPECT_EQ(ReadAll(work + "/my patch's.pat"), "PATCH");
  files.WriteScript(lines, true);
  ASSERT_TRUE(WaitForFolder(root, [&] { return QFile::exists(report) && QFile::exists(patcherReport); }));
  EXPECT_EQ(Lines(ReadAll(patcherReport)),
            (QStringList{work, "-pmy patch's.pat", "-f" + folder + "/my prog"}));
  EXPECT_EQ(Lines(ReadAll(report)), ExpectedReport());
  EXPECT_TRUE(WaitForFolder(folder, [&] { return !QFile::exists(InFolder("ReStart.sh")); }));
}

// A segmented file is not in place before its end; one given up leaves the file of
// that name as it was and no stray bytes in the folder.
TEST_F(ProgramFiles, SegmentFilesAppearWhole) {
  std::unique_ptr<TRdaFileSink> sink = files.CreateSegmentFile("sub dir/a b.bin");
  sink->Append("abc");
  sink->Append("def");
  EXPECT_EQ(sink->Size(), 6);
  EXPECT_FALSE(QFile::exists(InFolder("sub dir/a b.bin")));
  sink->Finish();
  EXPECT_EQ(ReadAll(InFolder("sub dir/a b.bin")), "abcdef");

  Write(InFolder("keep.txt"), "good");
  const QStringList before = QDir(folder).entryList(QDir::Files);
  {
    std::unique_ptr<TRdaFileSink> cut = files.CreateSegmentFile("keep.txt");
    cut->Append("half");
  }
  EXPECT_EQ(ReadAll(InFolder("keep.txt")), "good");
  EXPECT_EQ(QDir(folder).entryList(QDir::Files), before);

  EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
      [&] { files.CreateSegmentFile("../out.bin"); },
      "The file segment \"../out.bin\" was not written: its LocalFileName climbs out of the program's folder"));
  EXPECT_FALSE(QFile::exists(root + "/out.bin"));
}

// The same steps as the Windows client writes them, for its command interpreter.
TEST(ProgramScripts, TheWindowsBatchLines) {
  EXPECT_EQ(RestartBatchLines("client.exe", "C:\\App\\client.exe /x"),
            (std::vector<std::string>{"DEL client.exe.OLD", ":xRetry", "ReName client.exe client.exe.OLD",
                                      "if not exist client.exe.OLD goto xRetry",
                                      "Rename TempFile.exe client.exe", "Call C:\\App\\client.exe /x",
                                      "Del ReStart.Bat"}));
  // A name with a blank is quoted, or the command interpreter would take two names.
  EXPECT_EQ(RestartBatchLines("my client.exe", "x")[2], "ReName \"my client.exe\" \"my client.exe.OLD\"");
  EXPECT_EQ(PatcherBatchLines("C:\\App\\", "upd.pat", "C:\\App\\client.exe", "C:\\App\\client.exe /x"),
            (std::vector<std::string>{"C:\\App\\patcher.exe -pupd.pat -fC:\\App\\client.exe",
                                      "Call C:\\App\\client.exe /x", "Del C:\\App\\ReStart.bat"}));
}

}  // namespace
}  // namespace rda
