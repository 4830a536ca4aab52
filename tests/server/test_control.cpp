// The control port's commands and the server's command line, without
// starting a server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "base/Exception.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "server/ControlCommand.h"
#include "server/ServerOptions.h"

namespace rda {
namespace {

struct Sent {
  int token = 0;
  int id = 0;
  std::vector<std::string> fields;
};

Sent Parse(const std::string& body) {
  TRdaStringLine line;
  line.Parse(body);
  Sent s{line.Token(), line.MsgId(), {}};
  for (int k = line.FieldCount(); k > 0; --k) s.fields.push_back(line.NextFieldText());
  return s;
}

std::string ItemsText(const std::string& listText) {
  std::string out;
  const auto list = TRdaParamList::FromText(listText);
  for (int i = 0; i < list->Count(); ++i) {
    const auto& p = list->Items(i);
    out += p.Name() + ":" + std::to_string(p.DataType()) + "=" + p.AsString() + ";";
  }
  return out;
}

struct CommandCase {
  const char* line;
  int token;
  std::vector<std::string> fields;  // list fields are compared through ItemsText
  int listField;                    // index of a parameter list field, -1 for none
};

TEST(ControlCommand, EveryCommandComposesItsToken) {
  const std::vector<CommandCase> cases = {
      {"chat 3 hello  there", 8, {"hello  there"}, -1},
      {"message * Line one\\r\\nLine two", 9, {"Line one\r\nLine two"}, -1},
      {"broadcast all \\x41", 13, {"all A"}, -1},
      {"coded last 42 some text", 15, {"42", "some text"}, -1},
      {"stream * -5 bytes", 16, {"-5", "bytes"}, -1},
      {"params * 7 N=5 S=\"a b\" F:float=1.5", 28, {"7", "N:3=5;S:1=a b;F:6=1.5;", "0"}, 1},
      {"settings * DateMaskForSQL=yyyy-mm-dd SQLOptions=3", 48,
       {"14", "DateMaskForSQL:1=yyyy-mm-dd;SQLOptions:3=3;"}, 1},
      {"info * 6 Version=\"6.5\"", 48, {"6", "Version:1=6.5;"}, 1},
      {"ping *", 48, {"19", ""}, -1},
      {"custom * 9 Widget A=1", 50, {"9", "A:3=1;", "Widget", "0"}, 1},
      {"terminate * Server going down", 25, {"Server going down"}, -1},
      {"redirect * 127.0.0.1 9500", 47, {"Server:1=127.0.0.1:9500;"}, 0},
      {"reconnect *", 18, {}, -1},
      {"reset *", 19, {}, -1},
      {"exception * -75016 \"first error\" second", 64,
       {"Error1:1=first error;Error2:1=second;", "-75016"}, 0},
      {"raw * 21 5 \"blob text\"", 21, {"blob text"}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const ControlCommand cmd = ParseControlCommand(c.line);
    ASSERT_EQ(cmd.kind, ControlCommand::kSend);
    Sent s = Parse(cmd.body);
    EXPECT_EQ(s.token, c.token);
    if (c.listField >= 0 && static_cast<size_t>(c.listField) < s.fields.size())
      s.fields[static_cast<size_t>(c.listField)] = ItemsText(s.fields[static_cast<size_t>(c.listField)]);
    EXPECT_EQ(s.fields, c.fields);
  }
  EXPECT_EQ(Parse(ParseControlCommand("raw 1 21 5").body).id, 5);
}

TEST(ControlCommand, TargetsAndBadCommands) {
  EXPECT_EQ(ParseControlCommand("chat 12 x").target.kind, ControlTarget::kId);
  EXPECT_EQ(ParseControlCommand("chat 12 x").target.id, 12);
  EXPECT_EQ(ParseControlCommand("chat last x").target.kind, ControlTarget::kLast);
  EXPECT_EQ(ParseControlCommand("broadcast x").target.kind, ControlTarget::kAll);
  EXPECT_EQ(ParseControlCommand("disconnect *").kind, ControlCommand::kDisconnect);
  EXPECT_EQ(ParseControlCommand("clients").kind, ControlCommand::kClients);

  const std::vector<std::pair<const char*, const char*>> bad = {
      {"", "empty command"},
      {"shout * x", "unknown command: shout"},
      {"chat", "missing <client>"},
      {"chat someone x", "bad client: someone"},
      {"coded * x text", "bad id: x"},
      {"params * 1 novalue", "bad item (name=value): novalue"},
      {"params * 1 a:blob=1", "unknown item type: blob"},
      {"raw * 71 0", "bad token: 71"},
      {"raw * 8 0 a b c d e f", "at most 5 fields"},
      {"params * 1 \"a=b", "unclosed quote"},
      {"chat * bad \\x4", "bad \\x escape"},
  };
  for (const auto& [line, message] : bad) {
    try {
      ParseControlCommand(line);
      ADD_FAILURE() << line << ": nothing raised";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message) << line;
    }
  }
}

TEST(ServerOptions, ValuesAndErrors) {
  const ServerOptions o = ParseServerOptions(
      {"--port=0", "--bind", "::1", "--encryption", "des", "--key", "k", "--zlib", "--echo",
       "--control-port", "0", "--user", "u", "--password", "p", "--version", "6.5",
       "--query-timeout", "2", "--http-port", "0", "--http-path", "/cgi/Tunnel.dll/",
       "--http-allow", "self", "--http-allow=[::1]:9000", "--http-session-idle", "30",
       "--max-result", "99", "--allow-anonymous"});
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.bind, "::1");
  EXPECT_EQ(o.session.encryption, etDESEncrypt);
  EXPECT_EQ(o.session.key, "k");
  EXPECT_TRUE(o.session.zlib);
  EXPECT_TRUE(o.echo);
  EXPECT_EQ(o.controlPort, 0);
  EXPECT_EQ(o.session.user, "u");
  EXPECT_EQ(o.session.version, "6.5");
  EXPECT_EQ(o.queryTimeout.count(), 2);
  EXPECT_EQ(o.httpPort, 0);
  EXPECT_EQ(o.httpPath, "cgi/Tunnel.dll");
  EXPECT_EQ(o.httpAllow, (std::vector<std::string>{"self", "[::1]:9000"}));
  EXPECT_EQ(o.httpSessionIdle.count(), 30);
  EXPECT_EQ(o.session.maxResultBytes, size_t{99} << 20);
  EXPECT_TRUE(o.allowAnonymous);
  EXPECT_EQ(ParseServerOptions({"--db", "x.db", "--add-user", "ann"}).addUser, "ann");
  const ServerOptions d = ParseServerOptions({});
  EXPECT_EQ(d.httpPort, -1);
  EXPECT_EQ(d.httpPath, "isapi/RdaHttp.dll");
  EXPECT_TRUE(d.httpAllow.empty());
  EXPECT_EQ(d.port, 9406);
  EXPECT_EQ(d.controlPort, -1);
  EXPECT_TRUE(d.db.empty());
  EXPECT_FALSE(d.allowAnonymous);

  const std::vector<std::vector<std::string>> bad = {
      {"--port", "70000"}, {"--port"},  {"--encryption", "aes"}, {"--encryption", "des"},
      {"--key", "k"},      {"--password", "p"}, {"--echo", "--port", "60000"},
      {"--zlib=1"},        {"--frobnicate"},
      {"--http-path", "a b"}, {"--http-path", "/"}, {"--http-path", "x?y"},
      {"--http-allow", "host"}, {"--http-allow", "host:x"}, {"--http-allow", "host:"},
      {"--http-session-idle", "0"}, {"--http-port", "-1"},
      {"--max-result", "0"}, {"--max-result", "100"},
      {"--add-user", "ann"}, {"--db", "x.db", "--add-user", ""}, {"--allow-anonymous=1"},
  };
  for (const auto& args : bad) EXPECT_THROW(ParseServerOptions(args), Exception) << args[0];
}

}  // namespace
}  // namespace rda
