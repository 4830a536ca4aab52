// The receive path of the protocol core: bytes in, messages cut, unpacked, parsed and
// handled by token.
#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "base/Exception.h"
#include "messaging/RdaZLib.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::Frame;
using test::ListText;
using test::Msg;
using test::RecordingComponent;
using test::RecordingUI;
using test::RaisesWith;

class Receive : public ::testing::Test, public test::CoreFixture {
 protected:
  Receive() {
    events.OnChatMessage = [this](const std::string& t) { chats.push_back(t); };
    events.OnBytesOutEvent = [this](const std::string& body, int64_t, int64_t) { sent.push_back(body); };
  }
  void Feed(const Msg& m) { core.Receive(Frame(m)); }
  // The error Feed raises, as "Class: text".
  std::string FeedError(const Msg& m) {
    try {
      Feed(m);
    } catch (const ERdaProtocolError& e) {
      return std::string("ERdaProtocolError: ") + e.what();
    } catch (const std::exception& e) {
      return std::string("other: ") + e.what();
    }
    return "(nothing raised)";
  }

  RecordingUI& ui = driver.ui;
  std::vector<std::string> chats;
  std::vector<std::string> sent;  // composed bodies of messages the connection sent
};

TEST_F(Receive, FramesCutAtAnyOffsetAreHandledOnceInOrder) {
  const std::string bytes = Frame({8, 0, {"first"}}) + Frame({8, 0, {"second"}});
  for (size_t a = 0; a <= bytes.size(); ++a) {
    for (size_t b = a; b <= bytes.size(); b += 7) {
      chats.clear();
      core.Receive(std::string_view(bytes).substr(0, a));
      core.Receive(std::string_view(bytes).substr(a, b - a));
      core.Receive(std::string_view(bytes).substr(b));
      ASSERT_EQ(chats, (std::vector<std::string>{"first", "second"})) << a << " " << b;
    }
  }
}

TEST_F(Receive, ServerNotifications) {
  std::vector<std::string> seen;
  events.OnServerBroadcast = [&](const std::string& t) { seen.push_back("broadcast " + t); };
  events.OnCodedMessage = [&](int32_t id, const std::string& t) {
    seen.push_back("coded " + std::to_string(id) + " " + t);
  };
  events.OnCodedStream = [&](int32_t id, const std::string& bytes) {
    seen.push_back("stream " + std::to_string(id) + " " + std::to_string(bytes.size()));
  };
  Feed({13, 0, {"all users"}});
  Feed({15, 0, {"-7", "hello"}});
  Feed({16, 0, {"3", std::string("\0\1\2", 3)}});
  Feed({9, 0, {"box nine"}});
  Feed({14, 0, {"box fourteen"}});
  Feed({20, 0, {"internal"}});
  Feed({23, 0, {"internal"}});
  Feed({3, 0, {"select that a server never sends"}});
  // The dispatcher reads the low 7 bits of the token.
  std::string chat = test::Compose({8, 0, {"high bit"}});
  chat[0] = static_cast<char>(0x88);
  std::string framed(4, '\0');
  StoreI32LE(framed.data(), static_cast<int32_t>(chat.size()));
  core.Receive(framed + chat);
  EXPECT_EQ(seen, (std::vector<std::string>{"broadcast all users", "coded -7 hello", "stream 3 3"}));
  EXPECT_EQ(ui.messages, (std::vector<std::string>{"box nine", "box fourteen"}));
  EXPECT_EQ(chats, std::vector<std::string>{"high bit"});
}

TEST_F(Receive, SqlErrorIsRecordedShownAndRaisedAsAsked) {
  std::vector<std::string> sqlErrors;
  events.OnSQLError = [&](const std::string& t) { sqlErrors.push_back(t); };
  Feed({6, 0, {"no such table: T"}});
  EXPECT_TRUE(core.ReplyIsError());
  EXPECT_EQ(core.ReplyText(), "no such table: T");
  EXPECT_EQ(core.TakeServerError(), "[RDA SERVER ERROR]no such table: T");
  EXPECT_FALSE(core.ReplyIsError());
  EXPECT_EQ(core.TakeServerError(), "");

  // "NULL" + 04 only marks the reply as an error.
  Feed({6, 0, {std::string("NULL\x04", 5)}});
  EXPECT_TRUE(core.ReplyIsError());
  EXPECT_EQ(core.ReplyText(), "");
  EXPECT_EQ(core.TakeServerError(), "");

  // A text holding byte 02 carries a list; without a handler its first item counts.
  Feed({6, 0, {"\x02" + ListText({{"Error", "from list"}, {"More", "x"}})}});
  EXPECT_EQ(core.ReplyText(), "from list");
  std::string customFirst;
  events.OnCustomSQLError = [&](TRdaParamList& p) { customFirst = p.Items(0).AsString(); };
  core.SetReplyText("");
  Feed({6, 0, {"\x02" + ListText({{"Error", "to handler"}})}});
  EXPECT_EQ(customFirst, "to handler");
  EXPECT_EQ(core.ReplyText(), "");
  events.OnCustomSQLError = nullptr;

  // Raised at once while a request wants it, unless the caller takes errors itself.
  core.SetRaiseSqlImmediately(true);
  core.SetCallerTakesErrors(true);
  Feed({6, 0, {"taken by caller"}});
  EXPECT_EQ(core.ReplyText(), "taken by caller");
  EXPECT_FALSE(core.CallerTakesErrors());  // ending the wait clears it
  EXPECT_EQ(FeedError({6, 0, {"raised now"}}), "ERdaProtocolError: raised now");
  EXPECT_FALSE(core.RaiseSqlImmediately());
  EXPECT_EQ(core.ReplyText(), "");

  // Without seAsExceptions only the events see it.
  core.Settings().SQLErrorHandling = {};
  core.SetRaiseSqlImmediately(true);
  core.SetReplyText("");
  Feed({6, 0, {"event only"}});
  EXPECT_EQ(core.ReplyText(), "");
  EXPECT_EQ(sqlErrors.back(), "event only");
}

TEST_F(Receive, CodedParameterLists) {
  std::vector<std::string> seen;
  events.OnCodedParamList = [&](int32_t id, TRdaParamList& p) {
    seen.push_back(std::to_string(id) + " " + p.Items(0).AsString());
  };
  Feed({28, 0, {"42", ListText({{"A", "one"}}), "0"}});
  EXPECT_EQ(seen, std::vector<std::string>{"42 one"});

  // A reply flag makes it the answer of SendCodedParamList: input items only.
  TRdaParamList reply;
  reply.CreateParam(ftString, "In", ptInput).SetAsString("i");
  reply.CreateParam(ftString, "Out", ptOutput).SetAsString("o");
  Feed({28, 0, {"43", reply.ToText(false), "1"}});
  EXPECT_EQ(core.ReplyText(), reply.ToText(true));
  EXPECT_EQ(seen.size(), 1u);

  std::vector<std::string> instant;
  events.OnInstantMessage = [&](int32_t id, TRdaParamList& p) {
    instant.push_back(std::to_string(id) + " " + std::to_string(p.Count()));
  };
  Feed({28, 0, {"-75014", ListText({{"Msgid", "12"}, {"Text", "hi"}}), "0"}});
  EXPECT_EQ(instant, std::vector<std::string>{"12 1"});

  RecordingComponent dataset;
  const int id = core.ComponentId(&dataset);
  Feed({28, 0, {"-75007", ListText({{"DatasetId", std::to_string(id)}, {"RowsAffected", "3"}}), "0"}});
  EXPECT_EQ(dataset.rowsAffected, std::vector<int>{3});
  Feed({30, id, {"5", ListText({{"P", "out"}}), "0"}});
  EXPECT_EQ(dataset.outputParams.size(), 1u);
  EXPECT_EQ(seen.size(), 2u);  // -75014 fired OnCodedParamList too; -75007 and 30 did not
}

TEST_F(Receive, ServerInformation) {
  struct VersionCase {
    std::string text;
    double version;
  };
  for (const VersionCase& c : std::vector<VersionCase>{
           {"6.5", 6.5}, {"6,5", 6.5}, {"12,25", 12.25}, {"6", 6.0}, {"abc", 0.0}}) {
    Feed({48, 0, {"6", ListText({{"Version", c.text}})}});
    EXPECT_EQ(core.ServerVersion(), c.version) << c.text;
  }

  TRdaParamList settings;
  settings.FastAdd("DateMaskForSQL", Variant(std::string("YYYY-MM-DD")));
  settings.FastAdd("DateTimeMaskForSQL", Variant(std::string("YYYY-MM-DD HH:NN")));
  settings.FastAdd("TimeMaskForSQL", Variant(std::string("HH:NN")));
  settings.FastAdd("SQLOptions", Variant(int32_t{(1 << 4) | (1 << 8)}));
  settings.FastAdd("UpdateSQLSyntax", Variant(int32_t{usOracle}));
  Feed({48, 0, {"14", settings.ToText(false)}});
  EXPECT_EQ(core.Settings().DateMaskForSQL, "YYYY-MM-DD");
  EXPECT_EQ(core.Settings().DateTimeMaskForSQL, "YYYY-MM-DD HH:NN");
  EXPECT_EQ(core.Settings().TimeMaskForSQL, "HH:NN");
  EXPECT_EQ(core.Settings().SQLOptions, (TRdaServerSQLOptions{ssTerminateWithSemiColon, ssNoTableNameInUpdateStatements}));
  EXPECT_EQ(core.Settings().UpdateSQLSyntax, usOracle);

  settings.DeleteParam("TimeMaskForSQL");
  settings.ParamByName("DateMaskForSQL").SetAsString("changed?");
  EXPECT_EQ(FeedError({48, 0, {"14", settings.ToText(false)}}),
            "ERdaProtocolError: Parameter Not Found: TimeMaskForSQL");
  EXPECT_EQ(core.Settings().DateMaskForSQL, "YYYY-MM-DD");  // nothing changed

  // A ping is answered with a coded message.
  int fired = 0;
  events.OnServerUtilityInfoEvent = [&](int32_t code, TRdaParamList&) { fired += code; };
  Feed({48, 0, {"19", ""}});
  EXPECT_EQ(fired, 19);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(test::Decode(sent[0]), (Msg{15, 0, {"-99999999", "ping"}}));
}

TEST_F(Receive, CustomObjectsAndAsyncExceptions) {
  std::string object;
  events.OnCustomObject = [&](int32_t token, const std::string& name, TRdaParamList& p) {
    object = std::to_string(token) + " " + name + " " + p.Items(0).AsString();
  };
  Feed({50, 0, {"7", ListText({{"X", "val"}}), "Thing", "0"}});
  EXPECT_EQ(object, "7 Thing val");
  Feed({50, 0, {"7", ListText({{"X", "answer"}}), "Thing", "1"}});
  EXPECT_EQ(core.ReplyText(), ListText({{"X", "answer"}}));
  EXPECT_EQ(FeedError({50, 0, {"7", ListText({{"E", "object failed"}}), "Thing", "2000"}}),
            "ERdaProtocolError: object failed");

  core.SetSessionId(9);
  EXPECT_EQ(FeedError({64, 0, {ListText({{"a", "first"}, {"b", "second"}}), "-75016"}}),
            "ERdaProtocolError: \rfirst\rsecond");
  EXPECT_EQ(core.SessionId(), 9);  // raised: the session is kept
  EXPECT_EQ(FeedError({64, 0, {"", "5"}}), "ERdaProtocolError: Server Error");
  events.OnServerAsyncException = [](int32_t, TRdaParamList&, bool& handled) { handled = true; };
  Feed({64, 0, {ListText({{"a", "x"}}), "-75016"}});
  EXPECT_EQ(core.SessionId(), 0);
}

TEST_F(Receive, TerminateEndsTheApplicationUnlessHandled) {
  bool keep = true;
  std::string told;
  events.OnTerminateMessageFromServer = [&](const std::string& t, bool& handled) {
    told = t;
    handled = keep;
  };
  Feed({25, 0, {"server going down"}});
  EXPECT_EQ(told, "server going down");
  EXPECT_EQ(ui.terminated, 0);
  keep = false;
  Feed({25, 0, {"now"}});
  EXPECT_EQ(ui.terminated, 1);
}

TEST_F(Receive, DatasetRepliesReachTheirComponent) {
  RecordingComponent dataset;
  const int id = core.ComponentId(&dataset);
  const std::string rows = "1\tone\r\n2\ttwo\r\n";
  Feed({1, id, {"ID,3,4\r\nNAME,1,20"}});
  Feed({5, id, {"1", ZLibCompress(rows), "1"}});
  Feed({5, id + 1, {"1", rows, "0"}});  // unknown id: ignored
  Feed({22, id, {"T", "Blob", "1", "blob error text"}});
  ASSERT_EQ(dataset.messages.size(), 2u);
  EXPECT_EQ(dataset.messages[0].Token, 1);
  EXPECT_EQ(dataset.messages[0].FieldCount, 1);
  EXPECT_EQ(dataset.messages[1].Token, 5);
  EXPECT_EQ(dataset.messages[1].Fields[1], rows);  // inflated for the component
  EXPECT_EQ(core.ReplyText(), "blob error text");
  EXPECT_EQ(FeedError({21, 0, {"locked"}}),
            "ERdaProtocolError: Blob Did Not Update On the Server\rlocked");
}

TEST_F(Receive, LoginReplyWithoutHandlerEndsTheApplicationOnRefusal) {
  Feed({17, 0, {"1", ""}});
  EXPECT_EQ(ui.terminated, 0);
  Feed({17, 0, {"0", ""}});
  EXPECT_EQ(ui.messages, std::vector<std::string>{"Bad Login Attempt.  Your User Name and Password "
                                                  "was not validated at the server."});
  EXPECT_EQ(ui.terminated, 1);
  EXPECT_EQ(core.LoginAttempts(), 2);
  std::vector<bool> verdicts;
  events.OnLoginParamsAttempt = [&](bool ok, TRdaParamList& p) {
    verdicts.push_back(ok);
    EXPECT_EQ(p.Items(0).AsString(), "v");
  };
  Feed({17, 0, {"1", ListText({{"k", "v"}})}});
  EXPECT_EQ(verdicts, std::vector<bool>{true});
}

TEST_F(Receive, BadInputRaisesAndLosesNothingElse) {
  // A frame longer than the limit: the stream cannot be trusted any further.
  std::string huge(4, '\0');
  StoreI32LE(huge.data(), 104857601);
  EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
      [&] { core.Receive(huge + Frame({8, 0, {"lost"}})); },
      "Invalid block size (104857601)!"));
  EXPECT_TRUE(chats.empty());
  // The connection starts a clean stream afterwards.
  Feed({8, 0, {"after"}});
  EXPECT_EQ(chats, std::vector<std::string>{"after"});

  // A body shorter than a header, and one that does not decrypt: reported, and the
  // message behind it in the same read is still handled.
  chats.clear();
  std::string shortBody(4 + 10, 'x');
  StoreI32LE(shortBody.data(), 10);
  EXPECT_THROW(core.Receive(shortBody + Frame({8, 0, {"next"}})), ERdaProtocolError);
  EXPECT_EQ(chats, std::vector<std::string>{"next"});
  core.Transforms().SetEncryption(etDESEncrypt);
  core.Transforms().SetEncryptKeyIn("key12345");
  std::string garbage(4 + 5, 'y');
  StoreI32LE(garbage.data(), 5);
  EXPECT_THROW(core.Receive(garbage), ERdaProtocolError);
}

TEST_F(Receive, BlockingConnectionQueuesWhatItSends) {
  core.Settings().ClientType = ctBlocking;
  TRdaStringLine line;
  line.SetToken(15);
  line.AddField(int32_t{1});
  core.SendMessage(line, true);  // a blocking connection never waits here
  EXPECT_EQ(core.Outbox().size(), 1u);
  EXPECT_TRUE(RaisesWith<Exception>([&] { test::CoreFixture().core.BlockingExchange(100); },
                                    "No Data to send!"));
}

}  // namespace
}  // namespace rda
