// TamrixInstall: tests the connection to the company's data server and installs the
// matching client program. See docs/install.md.
//
//   TamrixInstall [COMPANY | COMPANY.ini | ADDRESS:PORT | tcp] [--headless] [options]
//
// Exit status: 0 when the client was installed, 1 when it was not, 2 for a command
// line or deployment setting that does not read.
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "install/InstallSettings.h"
#include "install/TXIUHeadless.h"
#include "install/TXIUMain.h"

namespace {

std::string RunningExe() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  for (int i = 1; i < argc; ++i) headless |= std::strcmp(argv[i], "--headless") == 0;
  const std::string programPath = rda::AbsoluteProgramPath(argv[0], RunningExe());

  // The application first: QApplication takes its own options (-platform, ...) out of
  // argv, so they are never read as a company code.
  std::unique_ptr<QCoreApplication> app;
  if (headless) {
    app = std::make_unique<QCoreApplication>(argc, argv);
  } else {
    app = std::make_unique<QApplication>(argc, argv);
  }
  QCoreApplication::setApplicationName(QString::fromLatin1(rda::TfrmTXIUMain::kTitle));

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

  if (headless) {
    rda::THeadlessInstall install(commandLine, settings);
    return install.Run();
  }
  rda::TfrmTXIUMain window(commandLine, settings);
  if (window.Steps().ClientSocket.Host() == "TERMINATE") return 1;
  window.show();
  QApplication::exec();
  return window.Steps().Installed() ? 0 : 1;
}
