#include "server/ControlCommand.h"

#include <optional>
#include <vector>

#include "base/Convert.h"
#include "base/Exception.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"

namespace rda {

namespace {


int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads a command line word by word; escapes are decoded in every form.
class ArgReader {
 public:
  explicit ArgReader(std::string_view line) : s_(line) {}

  bool AtEnd() {
    SkipBlanks();
    return pos_ >= s_.size();
  }

  // The next word; double quotes anywhere in it keep blanks inside and are
  // dropped. nullopt at the end of the line.
  std::optional<std::string> Word() {
    if (AtEnd()) return std::nullopt;
    std::string out;
    bool quoted = false;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '"') {
        quoted = !quoted;
        ++pos_;
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      AppendChar(out);
    }
    if (quoted) throw Exception("unclosed quote");
    return out;
  }

  std::string Required(const char* what) {
    auto w = Word();
    if (!w) throw Exception(std::string("missing ") + what);
    return *w;
  }

  // The rest of the line as one text.
  std::string Rest() {
    SkipBlanks();
    std::string out;
    while (pos_ < s_.size()) AppendChar(out);
    return out;
  }

  std::vector<std::string> Words() {
    std::vector<std::string> words;
    while (auto w = Word()) words.push_back(*w);
    return words;
  }

 private:
  void SkipBlanks() {
    while (pos_ < s_.size() && IsBlank(s_[pos_])) ++pos_;
  }

  void AppendChar(std::string& out) {
    const char c = s_[pos_++];
    if (c != '\\' || pos_ >= s_.size()) {
      out += c;
      return;
    }
    const char e = s_[pos_++];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        const int hi = pos_ < s_.size() ? HexDigit(s_[pos_]) : -1;
        const int lo = pos_ + 1 < s_.size() ? HexDigit(s_[pos_ + 1]) : -1;
        if (hi < 0 || lo < 0) throw Exception("bad \\x escape");
        out += static_cast<char>(hi * 16 + lo);
        pos_ += 2;
        break;
      }
      default: out += e; break;  // \\ and \" and anything else: the byte itself
    }
  }

  std::string_view s_;
  size_t pos_ = 0;
};

int ReadInteger(const std::string& text, const char* what) {
  const auto v = TryStrToInt(text);
  if (!v) throw Exception(std::string("bad ") + what + ": " + text);
  return *v;
}

ControlTarget ReadTarget(ArgReader& args) {
  const std::string word = args.Required("<client>");
  ControlTarget t;
  if (word == "*") {
    t.kind = ControlTarget::kAll;
  } else if (word == "last") {
    t.kind = ControlTarget::kLast;
  } else {
    t.kind = ControlTarget::kId;
    t.id = ReadInteger(word, "client");
  }
  return t;
}

// name=value items into the text form of a parameter list.
std::string ReadItems(ArgReader& args) {
  TRdaParamList list;
  for (const std::string& item : args.Words()) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) throw Exception("bad item (name=value): " + item);
    std::string name = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    std::string type;
    if (const size_t colon = name.find(':'); colon != std::string::npos) {
      type = name.substr(colon + 1);
      name.resize(colon);
    }
    TRdaParamItem& p = list.Add();
    p.SetName(name);
    p.SetParamType(ptInput);
    if (type.empty()) type = TryStrToInt(value) ? "int" : "string";
    if (type == "string") {
      p.SetAsString(value);
      p.SetSize(static_cast<int>(value.size()));
    } else if (type == "int") {
      p.SetAsInteger(ReadInteger(value, "integer"));
    } else if (type == "largeint") {
      const auto v = TryStrToInt64(value);
      if (!v) throw Exception("bad integer: " + value);
      p.SetAsLargeint(*v);
    } else if (type == "float") {
      const auto v = TryStrToFloat(value);
      if (!v) throw Exception("bad number: " + value);
      p.SetAsFloat(*v);
    } else if (type == "bool") {
      p.SetAsBoolean(value == "1" || value == "true" || value == "True" || value == "TRUE");
    } else {
      throw Exception("unknown item type: " + type);
    }
  }
  return list.ToText(false);
}

struct Builder {
  TRdaStringLine line;
  explicit Builder(int token, int id = 0) {
    line.SetToken(token);
    line.SetMsgId(id);
  }
  Builder& Text(const std::string& text) {
    line.AddField(text);
    return *this;
  }
  Builder& Integer(int value) {
    line.AddField(value);
    return *this;
  }
  std::string Compose() { return line.Compose(); }
};

}  // namespace

ControlCommand ParseControlCommand(std::string_view text) {
  ArgReader args(text);
  ControlCommand cmd;
  const auto word = args.Word();
  if (!word) throw Exception("empty command");
  cmd.name = *word;
  const std::string& w = cmd.name;
  if (w == "help") {
    cmd.kind = ControlCommand::kHelp;
    return cmd;
  }
  if (w == "clients") {
    cmd.kind = ControlCommand::kClients;
    return cmd;
  }
  cmd.kind = ControlCommand::kSend;
  if (w == "broadcast") {
    cmd.target.kind = ControlTarget::kAll;
    cmd.body = Builder(tkBroadcast).Text(args.Rest()).Compose();
    return cmd;
  }
  cmd.target = ReadTarget(args);
  if (w == "disconnect") {
    cmd.kind = ControlCommand::kDisconnect;
  } else if (w == "chat") {
    cmd.body = Builder(tkChatText).Text(args.Rest()).Compose();
  } else if (w == "message") {
    cmd.body = Builder(tkUserMessage).Text(args.Rest()).Compose();
  } else if (w == "coded" || w == "stream") {
    const int id = ReadInteger(args.Required("<id>"), "id");
    cmd.body = Builder(w == "coded" ? tkCodedMessage : tkCodedStream).Integer(id).Text(args.Rest()).Compose();
  } else if (w == "params") {
    const int id = ReadInteger(args.Required("<id>"), "id");
    cmd.body = Builder(tkCodedParamList).Integer(id).Text(ReadItems(args)).Integer(0).Compose();
  } else if (w == "settings") {
    cmd.body = Builder(tkServerUtility).Integer(suServerSettings).Text(ReadItems(args)).Compose();
  } else if (w == "info") {
    const int code = ReadInteger(args.Required("<code>"), "code");
    cmd.body = Builder(tkServerUtility).Integer(code).Text(ReadItems(args)).Compose();
  } else if (w == "ping") {
    cmd.body = Builder(tkServerUtility).Integer(suPing).Text("").Compose();
  } else if (w == "custom") {
    const int token = ReadInteger(args.Required("<token>"), "token");
    const std::string name = args.Required("<name>");
    const std::string items = ReadItems(args);
    cmd.body = Builder(tkCustomObject).Integer(token).Text(items).Text(name).Integer(0).Compose();
  } else if (w == "terminate") {
    cmd.body = Builder(tkTerminate).Text(args.Rest()).Compose();
  } else if (w == "redirect") {
    const std::string address = args.Required("<address>");
    const int port = ReadInteger(args.Required("<port>"), "port");
    TRdaParamList list;
    TRdaParamItem& item = list.Add();
    item.SetName("Server");
    item.SetParamType(ptInput);
    item.SetAsString(address + ":" + std::to_string(port));
    cmd.body = Builder(tkRedirect).Text(list.ToText(false)).Compose();
  } else if (w == "reconnect") {
    cmd.body = Builder(tkReconnect).Compose();
  } else if (w == "reset") {
    cmd.body = Builder(tkReset).Compose();
  } else if (w == "exception") {
    const int errorToken = ReadInteger(args.Required("<errortoken>"), "error token");
    TRdaParamList list;
    int n = 0;
    for (const std::string& t : args.Words()) {
      TRdaParamItem& item = list.Add();
      item.SetName("Error" + std::to_string(++n));
      item.SetParamType(ptInput);
      item.SetAsString(t);
    }
    cmd.body = Builder(tkAsyncException).Text(list.ToText(false)).Integer(errorToken).Compose();
  } else if (w == "sendfile") {
    cmd.kind = ControlCommand::kSendFile;
    cmd.file = args.Required("<file>");
    const auto local = args.Word();
    cmd.localName = local ? *local : cmd.file;
  } else if (w == "raw") {
    const int token = ReadInteger(args.Required("<token>"), "token");
    if (token < TRdaStringLine::MinToken || token > TRdaStringLine::MaxToken)
      throw Exception("bad token: " + std::to_string(token));
    const int component = ReadInteger(args.Required("<componentid>"), "component id");
    const std::vector<std::string> fields = args.Words();
    if (fields.size() > static_cast<size_t>(TRdaStringLine::kMaxFields))
      throw Exception("at most 5 fields");
    Builder b(token, component);
    for (const auto& f : fields) b.Text(f);
    cmd.body = b.Compose();
  } else {
    throw Exception("unknown command: " + w);
  }
  return cmd;
}

const char* ControlHelpText() {
  return "help\n"
         "clients\n"
         "chat <client> <text>\n"
         "message <client> <text>\n"
         "broadcast <text>\n"
         "coded <client> <id> <text>\n"
         "stream <client> <id> <text>\n"
         "params <client> <id> [name=value...]\n"
         "settings <client> [name=value...]\n"
         "info <client> <code> [name=value...]\n"
         "ping <client>\n"
         "custom <client> <token> <name> [name=value...]\n"
         "terminate <client> <text>\n"
         "redirect <client> <address> <port>\n"
         "reconnect <client>\n"
         "reset <client>\n"
         "exception <client> <errortoken> [text...]\n"
         "raw <client> <token> <componentid> [field...]\n"
         "sendfile <client> <file> [<local name>]\n"
         "disconnect <client>\n";
}

}  // namespace rda
