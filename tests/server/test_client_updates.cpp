// Published client programs: which login gets which program, the patcher on
// request, files in segments, and the names that are never read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/Exception.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/ClientUpdates.h"
#include "server/ControlCommand.h"
#include "server/ServerOptions.h"
#include "server/ServerSession.h"

namespace rda {
namespace {

namespace fs = std::filesystem;

struct Message {
  int token = 0;
  std::vector<std::string> fields;
};

std::vector<Message> Messages(const std::string& framed) {
  TRdaMessageStack stack;
  stack.Append(framed);
  std::vector<Message> out;
  while (stack.HasMessages()) {
    TRdaStringLine line;
    line.Parse(stack.PopMessage());
    Message m{line.Token(), {}};
    for (int k = line.FieldCount(); k > 0; --k) m.fields.push_back(line.NextFieldText());
    out.push_back(std::move(m));
  }
  return out;
}

std::vector<int> Tokens(const std::vector<Message>& messages) {
  std::vector<int> tokens;
  for (const Message& m : messages) tokens.push_back(m.token);
  return tokens;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(ClientUpdates, VersionsCompareByTheirParts) {
  const std::vector<std::tuple<const char*, const char*, int>> cases = {
      {"1.2", "1.10", -1}, {"1.2", "1.2.0", 0},  {"6.251", "6.3", 1}, {"2", "10", -1},
      {"1.0a", "1.0b", -1}, {"", "0", 0},        {"1.", "1", 0},      {"007", "7", 0},
      {"99999999999999999999", "9", 1},          {"2.0", "1.99.99", 1}};
  for (const auto& [a, b, expected] : cases) {
    EXPECT_EQ(CompareVersions(a, b), expected) << a << " vs " << b;
    EXPECT_EQ(CompareVersions(b, a), -expected) << b << " vs " << a;
  }
}

class PublishedPrograms : public ::testing::Test {
 protected:
  PublishedPrograms() : dir_(fs::temp_directory_path() / ("rda-updates-" + std::to_string(::getpid()))) {
    fs::remove_all(dir_);
    WriteFile(dir_ / "app" / "1.0", "old");
    WriteFile(dir_ / "app" / "2.0", std::string("NEW\0PROGRAM", 11));
    WriteFile(dir_ / "app" / ".2.5.part", "half");  // being copied in: not published yet
    WriteFile(dir_ / "patcher.exe", "PATCHER");
    settings_.updatesDir = dir_.string();
    db_ = OpenDatabase("", DatabaseLimits{});
  }
  ~PublishedPrograms() override { fs::remove_all(dir_); }

  // What the server answers a login of `application` at `version` with `params`.
  std::vector<Message> Login(const std::string& application, const std::string& version,
                             const std::string& params = "", const std::string& password = "") {
    ServerSession session(settings_, db_->Connect(), 1, "test");
    TRdaStringLine line;
    line.SetToken(tkLogin);
    line.AddField(int32_t{1});
    line.AddField("user");
    line.AddField(password);
    line.AddField(application);
    line.AddField(version + kLoginParamsSeparator + params);
    return Messages(session.Receive(Framed(line.Compose())));
  }

  fs::path dir_;
  SessionSettings settings_;
  std::unique_ptr<Database> db_;
};

TEST_F(PublishedPrograms, AnOlderClientGetsTheNewestProgramAfterItsLogin) {
  const std::vector<Message> m = Login("app", "1.5");
  ASSERT_EQ(Tokens(m), (std::vector<int>{tkLogin, tkClientUpdateStart, tkClientUpdateFile}));
  EXPECT_EQ(m[0].fields[0], "1");
  EXPECT_EQ(m[2].fields, std::vector<std::string>{std::string("NEW\0PROGRAM", 11)});

  // The same or a newer version, another application, a name that is not one plain
  // name, or a server without a folder: the login reply alone.
  for (const auto& [application, version] : std::vector<std::pair<std::string, std::string>>{
           {"app", "2.0"}, {"app", "2.0.1"}, {"other", "0"}, {"../" + dir_.filename().string() + "/app", "0"},
           {"app/..", "0"}, {".", "0"}}) {
    EXPECT_EQ(Tokens(Login(application, version)), std::vector<int>{tkLogin}) << application << " " << version;
  }
  settings_.updatesDir.clear();
  EXPECT_EQ(Tokens(Login("app", "1.0")), std::vector<int>{tkLogin});
}

TEST_F(PublishedPrograms, ThePatcherGoesFirstToALoginThatAsksForIt) {
  TRdaParamList params;
  params.Add().SetName("NeedPatcher");
  params.Items(0).SetIsNull(true);
  std::vector<Message> m = Login("app", "1.0", params.ToText(false));
  ASSERT_EQ(Tokens(m), (std::vector<int>{tkLogin, tkServerUtility, tkClientUpdateStart, tkClientUpdateFile}));
  EXPECT_EQ(m[1].fields[0], std::to_string(suPatcher));
  EXPECT_EQ(TRdaParamList::FromText(m[1].fields[1])->ParamByName("Patcher").AsString(), "PATCHER");

  // Without a published patcher only the program goes.
  fs::remove(dir_ / "patcher.exe");
  m = Login("app", "1.0", params.ToText(false));
  EXPECT_EQ(Tokens(m), (std::vector<int>{tkLogin, tkClientUpdateStart, tkClientUpdateFile}));
}

TEST_F(PublishedPrograms, ARefusedLoginGetsNothing) {
  settings_.user = "user";
  settings_.password = "right";
  const std::vector<Message> m = Login("app", "1.0", "", "wrong");
  ASSERT_EQ(Tokens(m), std::vector<int>{tkLogin});
  EXPECT_EQ(m[0].fields[0], "0");
}

TEST(ClientUpdates, FilesGoInSegmentsThatSayWhereTheyEnd) {
  std::string file(150000, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i % 251);
  const std::vector<std::string> lines = FileSegmentLines("data/big file.bin", file);
  ASSERT_EQ(lines.size(), 3u);
  std::string joined;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Message m = Messages(Framed(lines[i]))[0];
    ASSERT_EQ(m.token, tkCodedParamList);
    EXPECT_EQ(m.fields[0], std::to_string(miFileSegment));
    EXPECT_EQ(m.fields[2], "0");
    const auto list = TRdaParamList::FromText(m.fields[1]);
    EXPECT_EQ(list->ParamByName("LocalFileName").AsString(), "data/big file.bin");
    EXPECT_EQ(list->ParamByName("FileSize").AsLargeint(), 150000);
    EXPECT_EQ(list->ParamByName("Finished").AsBoolean(), i == 2);
    joined += list->ParamByName("Data").AsString();
  }
  EXPECT_EQ(joined, file);
  const std::vector<std::string> empty = FileSegmentLines("e", "");
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_TRUE(TRdaParamList::FromText(Messages(Framed(empty[0]))[0].fields[1])->ParamByName("Finished").AsBoolean());
}

TEST(ClientUpdates, OnlyFilesInsideThePublishedFolderAreSent) {
  EXPECT_EQ(PublishedFilePath("/srv/upd", "docs/a b.txt"), "/srv/upd/docs/a b.txt");
  for (const char* name : {"../etc/passwd", "/etc/passwd", "docs/../../x", ".hidden", "docs//a", "", "docs/"})
    EXPECT_THROW(PublishedFilePath("/srv/upd", name), Exception) << name;
  EXPECT_THROW(PublishedFilePath("", "a"), Exception);

  const ControlCommand send = ParseControlCommand("sendfile last \"docs/a b.txt\"");
  EXPECT_EQ(send.kind, ControlCommand::kSendFile);
  EXPECT_EQ(send.target.kind, ControlTarget::kLast);
  EXPECT_EQ(send.file, "docs/a b.txt");
  EXPECT_EQ(send.localName, "docs/a b.txt");
  EXPECT_EQ(ParseControlCommand("sendfile 3 a.txt sub/b.txt").localName, "sub/b.txt");
  EXPECT_THROW(ParseControlCommand("sendfile 3"), Exception);

  EXPECT_EQ(ParseServerOptions({"--updates", "/srv/upd"}).session.updatesDir, "/srv/upd");
  EXPECT_THROW(ParseServerOptions({"--updates="}), Exception);
}

}  // namespace
}  // namespace rda
