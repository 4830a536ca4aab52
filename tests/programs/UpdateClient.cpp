// A small client program for the update tests, built once per version
// (RDA_UPDATE_CLIENT_VERSION). It reports itself, logs in to rdaserver under its own
// file name and version, asks the server one question, and ends: by itself when no
// update comes, or by the update, which restarts it (as the newer build).
//
//   <program> --port N --report PATH [anything else...]
//
// At start it writes PATH.<version>: its version, the folder it runs in and every
// argument, one per line. At its end it writes PATH.<version>.done: "ok", "updated"
// or "error: <text>". Both are written under a temporary name and renamed, so they
// appear whole. With --port 0 it only reports and ends.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <exception>
#include <string>

#include "connection/RdaClientSocket.h"

#ifndef RDA_UPDATE_CLIENT_VERSION
#error "the program's version: RDA_UPDATE_CLIENT_VERSION"
#endif

namespace {

void Report(const QString& path, const QByteArray& text) {
  QFile file(path + ".tmp");
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write(text);
  file.close();
  QFile::remove(path);
  QFile::rename(path + ".tmp", path);
}

// The headless user interface, noting that the application was asked to end.
class UpdateUI : public rda::TRdaHeadlessUserInterface {
 public:
  UpdateUI() : TRdaHeadlessUserInterface(/*quiet=*/true) {}
  void TerminateApplication() override {
    ended = true;
    TRdaHeadlessUserInterface::TerminateApplication();
  }
  bool ended = false;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QString version = QStringLiteral(RDA_UPDATE_CLIENT_VERSION);
  const QStringList args = QCoreApplication::arguments();
  int port = -1;
  QString report;
  for (qsizetype i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == "--port") port = args[i + 1].toInt();
    if (args[i] == "--report") report = args[i + 1];
  }
  if (port < 0 || report.isEmpty()) return 2;
  QByteArray text = version.toUtf8() + "\n" + QDir::currentPath().toUtf8() + "\n";
  for (qsizetype i = 1; i < args.size(); ++i) text += args[i].toUtf8() + "\n";
  const QString mine = report + "." + version;
  Report(mine, text);
  if (port == 0) {
    Report(mine + ".done", "ok\n");
    return 0;
  }

  UpdateUI ui;
  rda::TRdaClientSocket s;
  s.SetUserInterface(&ui);
  s.SetPort(port);
  s.SetAutoLoginDlg(rda::ltLoginNoDlg);
  s.SetUserName("updater");
  s.SetApplicationVersion(version.toStdString());
  s.SetReplyTimeout(20000);
  int code = 0;
  QTimer::singleShot(0, &app, [&] {
    try {
      s.OpenAndWait();
      // What the server pushed behind the login comes before the answer to this.
      if (!ui.ended) s.SendCodedParamList(1, nullptr, true);
      Report(mine + ".done", ui.ended ? "updated\n" : "ok\n");
    } catch (const std::exception& e) {
      Report(mine + ".done", QByteArray("error: ") + e.what() + "\n");
      code = 1;
    }
    QCoreApplication::exit(code);
  });
  app.exec();
  return code;
}
