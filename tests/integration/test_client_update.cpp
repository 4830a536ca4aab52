// Server-pushed client updates end to end, in a scratch folder: a small client
// program built by the tests (version 1.0 and 2.0 of tests/programs/UpdateClient.cpp)
// logs in to a real rdaserver that publishes 2.0 of it, receives it, and the restart
// script swaps the file and starts it again with its original command line; an update
// cut off on the way leaves the old program in place and runnable. Files in segments,
// a refused segment name and the patcher reach a connection in this process.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "ClientTestSupport.h"
#include "tests/support/CuttingProxy.h"
#include "tests/support/FolderWatch.h"

namespace rda {
namespace {

using test::RunUntil;
using test::ServerProcess;
using test::WaitForFolder;

constexpr char kProgram[] = "upd client";  // the name it logs in with, blank and all

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

QString Built(const char* name) { return QString::fromUtf8(RDA_BIN_DIR) + "/" + name; }

bool CopyFile(const QString& from, const QString& to) {
  QFile::remove(to);
  return QFile::copy(from, to) &&
         QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList Lines(const QByteArray& text) {
  QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
  return lines;
}

class ClientUpdateEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.isValid());
    root = scratch.path();
    app = root + "/app's dir";
    work = root + "/work dir";
    updates = root + "/published";
    reports = root + "/reports";
    for (const QString& d : {app, work, updates + "/" + kProgram, reports}) ASSERT_TRUE(QDir().mkpath(d));
    ASSERT_TRUE(CopyFile(Built("rda_update_client_1_0"), ProgramFile()));
    ASSERT_TRUE(QFile::copy(Built("rda_update_client_2_0"), updates + "/" + kProgram + "/2.0"));
    v1 = ReadAll(ProgramFile());
    v2 = ReadAll(Built("rda_update_client_2_0"));
    ASSERT_NE(v1, v2);
  }
  QString ProgramFile() const { return app + "/" + kProgram; }
  QString InApp(const char* name) const { return app + "/" + name; }
  QString Report(const char* version) const { return reports + "/run." + version; }
  // The program's arguments: the server's port, where it reports, and some that a
  // restart must hand on as they are.
  QStringList Arguments(int port) const {
    return {"--port", QString::number(port), "--report", reports + "/run", "a b", "it's \"quoted\"", "$HOME"};
  }
  // Runs the program as installed, from the work folder; returns its exit code.
  int Run(int port) {
    QProcess p;
    p.setWorkingDirectory(work);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(ProgramFile(), Arguments(port));
    if (!p.waitForFinished(60000)) {
      p.kill();
      p.waitForFinished(5000);
      return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
  }
  std::vector<std::string> ServerArgs() const {
    return {"--port", "0", "--control-port", "0", "--quiet", "--updates", updates.toStdString()};
  }
  // What a run reports: its version, the folder it ran in, its arguments.
  QStringList Reported(int port, const char* version) const {
    return QStringList{version, work} + Arguments(port);
  }

  QTemporaryDir scratch;
  QString root, app, work, updates, reports;
  QByteArray v1, v2;
};

TEST_F(ClientUpdateEndToEnd, ANewerVersionReplacesTheProgramAndStartsWithItsArguments) {
  ServerProcess server(ServerArgs());
  ASSERT_EQ(Run(server.DataPort()), 0);
  EXPECT_EQ(Lines(ReadAll(Report("1.0"))), Reported(server.DataPort(), "1.0"));
  EXPECT_EQ(ReadAll(Report("1.0.done")), "updated\n");

  // The restart script starts 2.0 with the same arguments, from the same folder; it
  // logs in as 2.0, gets nothing more, and ends by itself.
  ASSERT_TRUE(WaitForFolder(reports, [&] { return QFile::exists(Report("2.0.done")); }));
  EXPECT_EQ(Lines(ReadAll(Report("2.0"))), Reported(server.DataPort(), "2.0"));
  EXPECT_EQ(ReadAll(Report("2.0.done")), "ok\n");
  ASSERT_TRUE(WaitForFolder(app, [&] { return !QFile::exists(InApp("ReStart.sh")); }));
  EXPECT_EQ(ReadAll(ProgramFile()), v2);
  EXPECT_EQ(ReadAll(InApp("upd client.OLD")), v1);
  EXPECT_FALSE(QFile::exists(InApp("TempFile.exe")));
  EXPECT_TRUE(QFileInfo(ProgramFile()).isExecutable());
}

TEST_F(ClientUpdateEndToEnd, AnUpdateCutOffLeavesTheOldProgramRunnable) {
  ServerProcess server(ServerArgs());
  // The connection breaks 64 KiB into the server's answers: in the middle of the
  // update's file, which is megabytes.
  test::CuttingProxy proxy(server.DataPort(), 64 * 1024);
  ASSERT_GT(v2.size(), 1 << 20);
  EXPECT_EQ(Run(proxy.Port()), 1);
  EXPECT_EQ(proxy.Cuts(), 1);
  EXPECT_TRUE(ReadAll(Report("1.0.done")).startsWith("error: ")) << ReadAll(Report("1.0.done")).toStdString();
  EXPECT_EQ(ReadAll(ProgramFile()), v1);
  EXPECT_EQ(QDir(app).entryList(QDir::Files), QStringList{kProgram});  // no TempFile, script or .OLD
  EXPECT_FALSE(QFile::exists(Report("2.0")));

  // Still the old program, and it still runs.
  QFile::remove(Report("1.0"));
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(Lines(ReadAll(Report("1.0"))), Reported(0, "1.0"));
}

// A connection in this process whose program file is in the scratch folder.
class ServerSentFiles : public ClientUpdateEndToEnd {
 protected:
  void SetUp() override {
    ClientUpdateEndToEnd::SetUp();
    server = std::make_unique<ServerProcess>(ServerArgs());
    s.SetProgramFile(ProgramFile().toStdString());
    s.SetPort(server->DataPort());
    s.SetAutoLoginDlg(ltLoginNoDlg);
    s.SetApplicationName("in-process");
    s.SetUserInterface(&ui);
    s.OnDisconnect = [] {};
    s.OnException = [this](const std::exception& e) { errors.push_back(e.what()); };
    s.OnFileSegmentArrive = [this](const std::string& name, int64_t current, int64_t total, int64_t size) {
      segments.push_back(name + " " + std::to_string(current) + " " + std::to_string(total) + " " +
                         std::to_string(size));
    };
  }
  void Push(const std::string& command, const std::function<bool()>& done) {
    ASSERT_EQ(server->Control(command), "ok") << command;
    ASSERT_TRUE(RunUntil(done, 20000)) << command;
  }

  std::unique_ptr<ServerProcess> server;
  TRdaClientSocket s;
  test::RecordingUI ui;
  std::vector<std::string> errors;
  std::vector<std::string> segments;
};

TEST_F(ServerSentFiles, SegmentsInSeveralMessagesArriveAsOneFile) {
  QByteArray file(150000, '\0');
  for (int i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i % 253);
  QFile out(updates + "/prices.bin");
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write(file);
  out.close();
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  Push("sendfile last prices.bin \"data dir/prices.bin\"", [&] { return segments.size() == 4; });
  const std::string n = "data dir/prices.bin ";
  EXPECT_EQ(segments, (std::vector<std::string>{n + "65536 65536 150000", n + "65536 131072 150000",
                                                n + "18928 150000 150000", n + "-1 -1 -1"}));
  EXPECT_EQ(ReadAll(InApp("data dir/prices.bin")), file);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ServerSentFiles, ASegmentNameThatClimbsOutIsRefused) {
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  Push("params last -75008 LocalFileName=../evil.txt Data=x FileSize:int=1 Finished:bool=true",
       [&] { return !errors.empty(); });
  EXPECT_EQ(errors, std::vector<std::string>{"The file segment \"../evil.txt\" was not written: its "
                                             "LocalFileName climbs out of the program's folder"});
  EXPECT_FALSE(QFile::exists(root + "/evil.txt"));
  EXPECT_TRUE(segments.empty());
  // The connection goes on: a good name after it is written.
  Push("params last -75008 LocalFileName=good.txt Data=y FileSize:int=1 Finished:bool=true",
       [&] { return segments.size() == 2; });
  EXPECT_EQ(ReadAll(InApp("good.txt")), "y");
}

TEST_F(ServerSentFiles, APatchingClientGetsThePatcherItAsksFor) {
  QFile patcher(updates + "/patcher.exe");
  ASSERT_TRUE(patcher.open(QIODevice::WriteOnly));
  patcher.write("#!/bin/sh\nexit 0\n");
  patcher.close();
  s.SetPatchFile("update.pat");
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  ASSERT_TRUE(RunUntil([&] { return QFile::exists(InApp("patcher.exe")); }, 20000));
  EXPECT_EQ(ReadAll(InApp("patcher.exe")), "#!/bin/sh\nexit 0\n");
  EXPECT_TRUE(QFileInfo(InApp("patcher.exe")).isExecutable());
  EXPECT_NE(s.LoginParams().FindParam("NeedPatcher"), nullptr);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace rda
