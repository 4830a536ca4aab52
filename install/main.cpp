// TamrixInstall: tests the connection to the company's data server and installs the
// matching client program. See docs/install.md.
//
//   TamrixInstall [COMPANY | COMPANY.ini | ADDRESS:PORT | tcp] [--headless] [options]
//
// Exit status: 0 when the client was installed, 1 when it was not, 2 for a command
// line or deployment setting that does not read, and for a window that has no display.
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "install/InstallSettings.h"
#include "install/TXIUHeadless.h"
#include "install/TXIUMain.h"

namespace {

constexpr char kNoDisplay[] =
    "TamrixInstall: the window needs a display and none could be opened; "
    "run with --headless to install without a window\n";

std::string RunningExe() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// While the GUI application starts: Qt ends the program (abort, status 134) when no
// platform plug-in can open a display, after several lines of its own. Those lines
// are held back; a start that fails says one line of ours and exits with 2, a start
// that works passes them on as Qt would have printed them.
class TDisplayStart {
 public:
  TDisplayStart() { previous_ = qInstallMessageHandler(&TDisplayStart::Handle); }
  ~TDisplayStart() {
    qInstallMessageHandler(previous_);
    for (const Held& m : held_) {
      const QMessageLogContext context(nullptr, 0, nullptr, m.category.c_str());
      previous_(m.type, context, m.text);
    }
  }
  TDisplayStart(const TDisplayStart&) = delete;
  TDisplayStart& operator=(const TDisplayStart&) = delete;

 private:
  struct Held {
    QtMsgType type;
    std::string category;
    QString text;
  };
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
      std::fputs(kNoDisplay, stderr);
      _exit(2);
    }
    held_.push_back({type, context.category != nullptr ? context.category : "", text});
  }

  static inline QtMessageHandler previous_ = nullptr;
  static inline std::vector<Held> held_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string programPath = rda::AbsoluteProgramPath(argv[0], RunningExe());

  // The command line first, before any application: help and a bad option need no
  // display.
  rda::TInstallCommandLine commandLine;
  rda::TInstallSettings settings;
  try {
    commandLine = rda::TInstallCommandLine::Parse(
        programPath, std::vector<std::string>(argv + 1, argv + argc));
    if (commandLine.Help) {
      std::fputs(rda::TInstallCommandLine::Usage(), stdout);
      return 0;
    }
    settings = rda::TInstallSettings::Load(commandLine.ProgramFolder());
  } catch (const rda::Exception& e) {
    std::fprintf(stderr, "TamrixInstall: %s\n%s", e.what(), rda::TInstallCommandLine::Usage());
    return 2;
  }

  if (commandLine.Headless) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(rda::TfrmTXIUMain::kTitle));
    rda::THeadlessInstall install(commandLine, settings);
    return install.Run();
  }
  std::unique_ptr<QApplication> app;
  {
    TDisplayStart start;
    app = std::make_unique<QApplication>(argc, argv);
  }
  QCoreApplication::setApplicationName(QString::fromLatin1(rda::TfrmTXIUMain::kTitle));
  rda::TfrmTXIUMain window(commandLine, settings);
  if (window.Steps().ClientSocket.Host() == "TERMINATE") return 1;
  window.show();
  QApplication::exec();
  return window.Steps().Installed() ? 0 : 1;
}
