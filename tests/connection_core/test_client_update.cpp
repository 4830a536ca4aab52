// What a server sends to be written on the client's machine, as the protocol core
// handles it: the update window and its steps, the new program (whole, or as a patch
// with the patcher), the patcher on request, and files in segments. The files are
// RecordingFiles (in memory); the time a manual clock.
#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using std::chrono::milliseconds;
using test::Frame;
using test::Msg;
using test::RaisesWith;

constexpr char kStarted[] = "started";
constexpr char kEnded[] = "ended";

// A coded parameter list with a file segment.
Msg Segment(const std::string& name, const std::string& data, int64_t fileSize, bool finished) {
  TRdaParamList list;
  list.CreateParam(ftString, "LocalFileName", ptInput).SetAsString(name);
  list.CreateParam(ftBlob, "Data", ptInput).SetAsBlob(data);
  list.CreateParam(ftLargeint, "FileSize", ptInput).SetAsLargeint(fileSize);
  list.CreateParam(ftBoolean, "Finished", ptInput).SetAsBoolean(finished);
  return {tkCodedParamList, 0, {std::to_string(miFileSegment), list.ToText(false), "0"}};
}

class ClientUpdate : public ::testing::Test, public test::CoreFixture {
 protected:
  ClientUpdate() {
    events.OnException = [this](const std::exception& e) { errors.push_back(e.what()); };
    events.OnFileSegmentArrive = [this](const std::string& name, int64_t current, int64_t total,
                                        int64_t size) {
      segments.push_back(name + " " + std::to_string(current) + " " + std::to_string(total) + " " +
                         std::to_string(size));
    };
  }
  void ConnectDirect() {
    core.SetActive(true);
    Connect();
    Sent();
  }
  // Feeds bytes as one read of the socket.
  void Read(const std::string& bytes) { core.Readable(bytes); }
  // The login message's parameter list, from what the core wrote.
  std::string LoginParams() {
    for (const Msg& m : Sent())
      if (m.token == tkLogin) return m.fields[4].substr(m.fields[4].find(kLoginParamsSeparator) + 1);
    return "(no login)";
  }

  test::RecordingFiles& files = driver.files;
  test::RecordingUI& ui = driver.ui;
  std::vector<std::string> errors;
  std::vector<std::string> segments;
};

// The whole form: the window opens on 39, the file of 38 goes to the restart, the
// application is asked to end, and a request that waited stops waiting.
TEST_F(ClientUpdate, ANewProgramRestartsTheApplication) {
  ConnectDirect();
  driver.whileWaiting = [&](TRdaWait& wait) {
    Read(Frame({tkClientUpdateStart, 0, {}}));
    EXPECT_TRUE(core.UpdateInProgress());
    EXPECT_TRUE(core.Settings().ProgressBar);
    EXPECT_FALSE(wait.ended);
    Read(Frame({tkClientUpdateFile, 0, {std::string("NEW\0PROGRAM", 11)}}));
    EXPECT_TRUE(wait.ended);
  };
  EXPECT_EQ(core.SendCodedParamList(7, nullptr, true), "");
  EXPECT_EQ(files.restarts, std::vector<std::string>{std::string("NEW\0PROGRAM", 11)});
  EXPECT_EQ(ui.terminated, 1);
  EXPECT_FALSE(core.UpdateInProgress());
  EXPECT_FALSE(core.Settings().ProgressBar);
  ASSERT_FALSE(ui.updateWindow.empty());
  EXPECT_EQ(ui.updateWindow.front(), kStarted);
  EXPECT_EQ(ui.updateWindow.back(), kEnded);
  EXPECT_TRUE(errors.empty());
}

// The window follows the update file as it arrives: its size when the first bytes
// come, then after each further block of a read the caption with the time the update
// has taken, what the bar showed and the bar at the bytes so far; a step at 0 once the
// message is complete.
TEST_F(ClientUpdate, TheWindowFollowsTheFileInBlocksWithTheTimeItTakes) {
  ConnectDirect();
  const std::string file(10000, 'x');
  const std::string update = Frame({tkClientUpdateFile, 0, {file}});
  const std::string n = std::to_string(update.size());
  // The start and the update's first 100 bytes come in one read: the size is still
  // read from the frame, not from the middle of it.
  Read(Frame({tkClientUpdateStart, 0, {}}) + update.substr(0, 100));
  Pass(milliseconds(30000));
  Read(update.substr(100, 4096 + 50));  // two blocks: one step
  Pass(milliseconds(10 * 60000 + 5000 - 30000));
  core.Settings().ProgressBar = false;  // the update keeps its window going all the same
  Read(update.substr(4246));
  const std::string caption30 = "Update of core_test in progress . . . 30 Secs";
  const std::string caption10 = "Update of core_test in progress . . . 10 Min 5 Secs";
  EXPECT_EQ(ui.updateWindow,
            (std::vector<std::string>{
                kStarted,
                "Program Update In Progress . . . |Receiving update ...|0/" + n,
                caption30 + "| Received 0 of " + n + " bytes|4096/" + n,
                caption10 + "| Received 4096 of " + n + " bytes|8242/" + n,
                caption10 + "| Received 8242 of " + n + " bytes|0/" + n,  // complete
                kEnded}));
  EXPECT_EQ(files.restarts, std::vector<std::string>{file});
}

TEST_F(ClientUpdate, AnUpdateCutOffLeavesTheProgramAlone) {
  ConnectDirect();
  events.OnDisconnect = [] {};
  const std::string update = Frame({tkClientUpdateFile, 0, {std::string(50000, 'x')}});
  Read(Frame({tkClientUpdateStart, 0, {}}) + update.substr(0, 20000));
  PeerCloses();
  EXPECT_FALSE(core.UpdateInProgress());
  EXPECT_FALSE(core.Settings().ProgressBar);
  EXPECT_EQ(ui.updateWindow.back(), kEnded);
  EXPECT_TRUE(files.restarts.empty());
  EXPECT_EQ(ui.terminated, 0);
}

// An update without bytes is no program: refused in both forms, and nothing is
// written or started.
TEST_F(ClientUpdate, AnEmptyUpdateIsRefused) {
  for (const std::string patchFile : {"", "update.pat"}) {
    core.Settings().PatchFile = patchFile;
    files.disk["patcher.exe"] = "P";
    EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
        [&] { core.Receive(Frame({tkClientUpdateFile, 0, {""}})); }, "No Update received"))
        << patchFile;
  }
  EXPECT_TRUE(files.restarts.empty());
  EXPECT_TRUE(files.script.empty());
  EXPECT_EQ(ui.terminated, 0);
}

TEST_F(ClientUpdate, APatchGoesToThePatcherUnlessTheHandlerKeepsTheProgram) {
  core.Settings().PatchFile = "update.pat";
  // Without the patcher nothing is saved.
  EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
      [&] { core.Receive(Frame({tkClientUpdateFile, 0, {"PATCH1"}})); }, "Patcher.exe not found"));
  EXPECT_EQ(files.disk.count("update.pat"), 0u);

  files.disk["patcher.exe"] = "P";
  std::string seen;
  events.OnAutoClientUpgrade = [&](const std::string& update, std::vector<std::string>& lines,
                                   bool& handled) {
    seen = update;
    lines.push_back("echo mine");
    handled = true;
  };
  core.Receive(Frame({tkClientUpdateFile, 0, {"PATCH2"}}));
  EXPECT_EQ(seen, "PATCH2");
  EXPECT_EQ(files.disk["update.pat"], "PATCH2");
  // Handled: the script is written with the handler's lines, not started, and the
  // program goes on.
  EXPECT_EQ(files.script,
            (std::vector<std::string>{"patcher -pupdate.pat", "start again", "remove script", "echo mine"}));
  EXPECT_FALSE(files.scriptStarted);
  EXPECT_EQ(ui.terminated, 0);

  events.OnAutoClientUpgrade = nullptr;
  core.Receive(Frame({tkClientUpdateFile, 0, {"PATCH3"}}));
  EXPECT_TRUE(files.scriptStarted);
  EXPECT_EQ(ui.terminated, 1);
  EXPECT_TRUE(files.restarts.empty());
}

// While PatchFile is set and the patcher is missing, the login asks for it; once
// asked, every later login does (the item stays in LoginParams).
TEST_F(ClientUpdate, LoginsAskForThePatcherWhileItIsMissing) {
  core.Settings().AutoLoginDlg = ltLoginNoDlg;
  driver.whileWaiting = [&](TRdaWait&) { core.Readable(Frame({tkLogin, 0, {"1", ""}})); };
  const auto login = [&] {
    core.SetActive(true);
    Connect();
    std::string params = LoginParams();
    core.SetActive(false);
    return params;
  };
  EXPECT_EQ(login(), "");  // no PatchFile
  core.Settings().PatchFile = "update.pat";
  const std::unique_ptr<TRdaParamList> asked = TRdaParamList::FromText(login());
  ASSERT_EQ(asked->Count(), 1);
  EXPECT_EQ(asked->Items(0).Name(), "NeedPatcher");
  EXPECT_TRUE(asked->Items(0).IsNull());

  TRdaParamList patcher;
  patcher.CreateParam(ftBlob, "Patcher", ptInput).SetAsBlob(std::string("MZ\0\1", 4));
  core.Receive(Frame({tkServerUtility, 0, {std::to_string(suPatcher), patcher.ToText(false)}}));
  EXPECT_EQ(files.disk["patcher.exe"], std::string("MZ\0\1", 4));
  EXPECT_EQ(TRdaParamList::FromText(login())->Count(), 1);
  EXPECT_EQ(core.LoginParams().Count(), 1);

  EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
      [&] { core.Receive(Frame({tkServerUtility, 0, {std::to_string(suPatcher), ""}})); },
      "Parameter Not Found: Patcher"));
}

TEST_F(ClientUpdate, SegmentsOfAFileArriveAsOneFile) {
  core.Receive(Frame(Segment("data/prices.txt", "abc", 6, false)));
  EXPECT_EQ(files.disk.count("data/prices.txt"), 0u);  // not in place before its end
  core.Receive(Frame(Segment("data/prices.txt", "def", 6, true)));
  EXPECT_EQ(files.disk["data/prices.txt"], "abcdef");
  EXPECT_EQ(segments, (std::vector<std::string>{"data/prices.txt 3 3 6", "data/prices.txt 3 6 6",
                                                "data/prices.txt -1 -1 -1"}));
  EXPECT_EQ(files.created, std::vector<std::string>{"data/prices.txt"});
  // A name sent again after its end is a new file.
  core.Receive(Frame(Segment("data/prices.txt", "new", 3, true)));
  EXPECT_EQ(files.disk["data/prices.txt"], "new");
  EXPECT_TRUE(files.dropped.empty());
}

TEST_F(ClientUpdate, SegmentNamesOutsideTheProgramsFolderAreRefused) {
  const std::string climbs = "its LocalFileName climbs out of the program's folder";
  const std::string absolute = "its LocalFileName is an absolute path";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"../evil", climbs},    {"sub/../../evil", climbs}, {"..\\evil", climbs},
      {"a\\..", climbs},      {"/etc/evil", absolute},    {"\\evil", absolute},
      {"C:\\evil", absolute}, {"c:evil", absolute},       {"", "it has no LocalFileName"}};
  for (const auto& [name, why] : refused) {
    EXPECT_TRUE(RaisesWith<ERdaProtocolError>([&] { core.Receive(Frame(Segment(name, "x", 1, true))); },
                                              "The file segment \"" + name + "\" was not written: " + why))
        << name;
  }
  EXPECT_TRUE(files.created.empty());
  EXPECT_TRUE(segments.empty());
  // Dots that climb nowhere are names like any other.
  for (const std::string name : {"a..b", "...", "sub/.x"}) core.Receive(Frame(Segment(name, "x", 1, true)));
  EXPECT_EQ(files.created.size(), 3u);
}

// A file whose transfer fails or whose connection is lost leaves nothing behind: the
// file being written is dropped (its target untouched), and the same name later
// starts afresh.
TEST_F(ClientUpdate, ATransferThatDoesNotFinishLeavesNothing) {
  ConnectDirect();
  events.OnDisconnect = [] {};
  Read(Frame(Segment("a.bin", "abc", 6, false)));
  PeerCloses();
  EXPECT_EQ(files.dropped, std::vector<std::string>{"a.bin"});

  files.failAppend = true;
  EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
      [&] { core.Receive(Frame(Segment("b.bin", "abc", 6, false))); }, "Stream write error"));
  files.failAppend = false;
  EXPECT_EQ(files.dropped, (std::vector<std::string>{"a.bin", "b.bin"}));
  core.Receive(Frame(Segment("b.bin", "xyz", 3, true)));
  EXPECT_EQ(files.disk["b.bin"], "xyz");
  EXPECT_EQ(files.disk.count("a.bin"), 0u);
}

}  // namespace
}  // namespace rda
