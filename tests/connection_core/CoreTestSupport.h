// Helpers for the tests of the connection's protocol core, without Qt: builders for
// server messages, a user interface, a component and program files that record what
// they are given, and a driver whose transport records what the core writes and whose
// waits run what the test says happens meanwhile. The time is a TRdaManualClock.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/ByteIO.h"
#include "base/Exception.h"
#include "connection/RdaClientCore.h"
#include "connection/RdaComponent.h"
#include "connection/RdaUserInterface.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"

namespace rda::test {

// A string line as the server composes it.
struct Msg {
  int token;
  int32_t id = 0;
  std::vector<std::string> fields;
};

inline bool operator==(const Msg& a, const Msg& b) {
  return a.token == b.token && a.id == b.id && a.fields == b.fields;
}
inline void PrintTo(const Msg& m, std::ostream* os) {
  *os << "{" << m.token << ", " << m.id;
  for (const std::string& f : m.fields) *os << ", \"" << f << "\"";
  *os << "}";
}

// A received body taken apart (after unpacking it with `transforms`, when given).
inline Msg Decode(std::string body, TRdaBodyTransforms* transforms = nullptr) {
  if (transforms != nullptr) body = transforms->UnpackMessage(std::move(body));
  TRdaStringLine line;
  line.Parse(std::move(body));
  Msg m{line.Token(), line.MsgId(), {}};
  for (int i = 0; i < TRdaStringLine::kMaxFields; ++i) {
    if (ReadI32At(line.Header(), 5 + static_cast<size_t>(i) * TRdaStringLine::kDescriptorSize + 1) == 0)
      break;
    m.fields.push_back(line.NextFieldText());
  }
  return m;
}

inline std::string Compose(const Msg& m) {
  TRdaStringLine line;
  line.SetToken(m.token);
  line.SetMsgId(m.id);
  for (const std::string& f : m.fields) line.AddField(f);
  return line.Compose();
}

// A framed message, packed by `transforms` (as the peer's end is configured).
inline std::string Frame(const Msg& m, TRdaBodyTransforms* transforms = nullptr) {
  std::string body = Compose(m);
  if (transforms != nullptr) body = transforms->PackMessage(std::move(body));
  std::string frame;
  ByteWriter w(frame);
  w.PutI32(static_cast<int32_t>(body.size()));
  w.PutBytes(body);
  return frame;
}

// The frames (after their 4-byte lengths) in `bytes`, as far as they are complete.
inline std::vector<std::string> FramesIn(const std::string& bytes) {
  std::vector<std::string> frames;
  size_t pos = 0;
  while (pos + 4 <= bytes.size()) {
    const auto n = static_cast<size_t>(LoadI32LE(bytes.data() + pos));
    if (pos + 4 + n > bytes.size()) break;
    frames.push_back(bytes.substr(pos + 4, n));
    pos += 4 + n;
  }
  return frames;
}

inline std::string ListText(const std::vector<std::pair<std::string, std::string>>& items) {
  TRdaParamList list;
  for (const auto& [name, value] : items) {
    TRdaParamItem& item = list.Add();
    item.SetName(name);
    item.SetAsString(value);
  }
  return list.ToText(false);
}

// Records what a window would have shown, and answers as told.
class RecordingUI : public TRdaUserInterface {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  bool AskYesNo(const std::string& text) override {
    questions.push_back(text);
    return answerYes;
  }
  std::optional<TRdaLoginEntry> LoginDialog() override {
    ++loginDialogs;
    if (logins.empty()) return std::nullopt;
    std::optional<TRdaLoginEntry> next = logins.front();
    logins.erase(logins.begin());
    return next;
  }
  std::optional<std::string> InputAddress(const std::string&, const std::string&,
                                          const std::string& initial) override {
    shownAddress = initial;
    return inputAnswer;
  }
  TRdaAddressChoice ChooseAddress(const std::vector<std::string>& list,
                                  const std::string& last) override {
    shownList = list;
    shownAddress = last;
    return choice;
  }
  void TerminateApplication() override { ++terminated; }
  void ShowException(const std::exception& error) override { errors.push_back(error.what()); }
  void ClientUpdateStarted() override { updateWindow.push_back("started"); }
  void ClientUpdateProgress(const TRdaUpdateProgress& p) override {
    updateWindow.push_back(p.Caption + "|" + p.Label + "|" + std::to_string(p.Position) + "/" +
                           std::to_string(p.Max));
  }
  void ClientUpdateEnded() override { updateWindow.push_back("ended"); }

  std::vector<std::string> messages, questions, errors, shownList;
  // The update window: "started", "ended", and "caption|label|position/max" per step.
  std::vector<std::string> updateWindow;
  std::string shownAddress;
  std::vector<std::optional<TRdaLoginEntry>> logins;
  std::optional<std::string> inputAnswer;
  TRdaAddressChoice choice;
  bool answerYes = false;
  int loginDialogs = 0;
  int terminated = 0;
};

// A component that keeps what it is sent.
class RecordingComponent : public TRdaComponent {
 public:
  void ReceiveMessage(TRdaClientSocket&, const TRdaComponentMessage& m) override {
    messages.push_back(m);
  }
  bool AwaitsOutputParams() const override { return awaitsOutput; }
  void ReceiveOutputParams(TRdaClientSocket&, TRdaParamList& params) override {
    outputParams.push_back(params.ToText(false));
  }
  void ReceiveRowsAffected(TRdaClientSocket&, int rows) override { rowsAffected.push_back(rows); }

  std::vector<TRdaComponentMessage> messages;
  std::vector<std::string> outputParams;
  std::vector<int> rowsAffected;
  bool awaitsOutput = false;
};

// Program files kept in memory: what the core asks to be written, and what is "on
// disk" afterwards. `failAppend` makes every segment write fail.
class RecordingFiles : public TRdaClientFiles {
 public:
  class Sink : public TRdaFileSink {
   public:
    Sink(RecordingFiles& files, std::string name) : files_(files), name_(std::move(name)) {}
    ~Sink() override {
      if (!finished_) files_.dropped.push_back(name_);
    }
    int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
    void Append(std::string_view bytes) override {
      if (files_.failAppend) throw EWriteError("Stream write error");
      bytes_.append(bytes);
    }
    void Finish() override {
      finished_ = true;
      files_.disk[name_] = bytes_;
    }

   private:
    RecordingFiles& files_;
    std::string name_;
    std::string bytes_;
    bool finished_ = false;
  };

  bool PatcherPresent() override { return disk.count("patcher.exe") != 0; }
  void SavePatcher(std::string_view bytes) override { disk["patcher.exe"] = std::string(bytes); }
  void StartRestart(std::string_view program) override { restarts.emplace_back(program); }
  std::vector<std::string> PreparePatch(std::string_view patch, const std::string& patchFile) override {
    disk[patchFile] = std::string(patch);
    return {"patcher -p" + patchFile, "start again", "remove script"};
  }
  void WriteScript(const std::vector<std::string>& lines, bool start) override {
    script = lines;
    scriptStarted = start;
  }
  std::unique_ptr<TRdaFileSink> CreateSegmentFile(const std::string& name) override {
    created.push_back(name);
    return std::make_unique<Sink>(*this, name);
  }

  std::map<std::string, std::string> disk;  // file name -> bytes
  std::vector<std::string> restarts;        // the programs StartRestart was given
  std::vector<std::string> script;
  bool scriptStarted = false;
  std::vector<std::string> created;  // segment files begun
  std::vector<std::string> dropped;  // segment files given up before their end
  bool failAppend = false;
};

// A transport that keeps what it is given. It connects when the test says so
// (CoreFixture::Connect); Close and Abort leave it idle at once.
class RecordingTransport : public TRdaHttpClientTransport {
 public:
  // Each open as "host:port", with " tls CAFILE" when it asks for TLS.
  void Open(const std::string& host, uint16_t port, int, const TRdaTlsSettings& tls) override {
    opens.push_back(host + ":" + std::to_string(port) + (tls.Enabled ? " tls " + tls.CaFile : ""));
    opening = true;
  }
  void Close() override {
    ++closes;
    opening = connected = false;
  }
  void Abort() override {
    ++aborts;
    opening = connected = false;
  }
  bool IsConnected() const override { return connected; }
  bool IsIdle() const override { return !opening && !connected; }
  int64_t Write(std::string_view bytes) override {
    if (!connected) return 0;
    written.append(bytes);
    return static_cast<int64_t>(bytes.size());
  }
  void Flush() override {}
  void EndOfRequest(bool waits) override { requests.push_back(waits); }
  int64_t BytesAvailable() const override { return 0; }
  size_t Read(char*, size_t) override { return 0; }
  int LastErrorCode() const override { return 0; }
  std::string LastErrorText() const override { return {}; }
  void SetRequestSettings(TRdaHttpRequestSettings settings) override { requestSettings = settings; }
  int Outstanding() const override { return 0; }

  std::vector<std::string> opens;  // "host:port" of each Open
  int closes = 0;
  int aborts = 0;
  bool opening = false;
  bool connected = false;
  std::string written;         // every byte written
  std::vector<bool> requests;  // EndOfRequest calls (form 1), with their wait flag
  TRdaHttpRequestSettings requestSettings;
};

// The driver: a stream transport and an HTTP client transport that record, waits that
// run the test's `whileWaiting` once, and a record of what went to components.
class TestDriver final : public TRdaCoreDriver {
 public:
  TRdaTransport& Transport() override { return httpClient ? http : stream; }
  void SelectHttpClient(bool value) override { httpClient = value; }
  TRdaHttpClientTransport* HttpClient() override { return httpClient ? &http : nullptr; }
  void RunRequestWait(TRdaWait& wait) override {
    ++requestWaits;
    if (whileWaiting) whileWaiting(wait);
  }
  void StopRequestWait() override { ++stops; }
  void RunUntil(const std::function<bool()>& done, int) override {
    if (!done() && whileRunning) whileRunning();
  }
  void WakeWaits() override {}
  void ProcessEvents() override {}
  void DeadlinesChanged() override { ++deadlineChanges; }
  TRdaUserInterface& UserInterface() override { return ui; }
  std::string ProgramFileName() override { return "core_test"; }
  std::vector<std::string> CommandLine() override { return commandLine; }
  void ToComponent(TRdaComponent& component, const TRdaComponentMessage& message) override {
    if (auto* r = dynamic_cast<RecordingComponent*>(&component)) r->messages.push_back(message);
  }
  void OutputParamsToComponent(TRdaComponent& component, TRdaParamList& params) override {
    if (auto* r = dynamic_cast<RecordingComponent*>(&component))
      r->outputParams.push_back(params.ToText(false));
  }
  void RowsAffectedToComponent(TRdaComponent& component, int rows) override {
    if (auto* r = dynamic_cast<RecordingComponent*>(&component)) r->rowsAffected.push_back(rows);
  }
  void ReopenComponent(TRdaComponent&) override { ++reopens; }
  TRdaClientFiles* ClientFiles() override { return &files; }

  RecordingTransport stream;
  RecordingTransport http;
  bool httpClient = false;
  RecordingUI ui;
  RecordingFiles files;
  std::vector<std::string> commandLine;
  // What happens while a request waits, and while OpenAndWait or CloseAndWait runs.
  std::function<void(TRdaWait&)> whileWaiting;
  std::function<void()> whileRunning;
  int requestWaits = 0;
  int stops = 0;
  int deadlineChanges = 0;
  int reopens = 0;
};

// A core with its driver, events and manual clock.
class CoreFixture {
 public:
  CoreFixture() : core(driver, events, clock) {}

  // The stream transport reaches the server.
  void Connect() {
    driver.stream.opening = false;
    driver.stream.connected = true;
    core.TransportConnected();
  }
  // The server closes the connection.
  void PeerCloses() {
    driver.stream.opening = driver.stream.connected = false;
    core.TransportDisconnected({});
  }
  // Moves the clock on and does what is due.
  void Pass(std::chrono::milliseconds by) {
    clock.Advance(by);
    core.ProcessDeadlines();
  }
  // Milliseconds to the core's next deadline, or -1 when none.
  int64_t UntilNextDeadline() const {
    const auto next = core.NextDeadline();
    if (!next) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(*next - clock.Now()).count();
  }
  // The messages the core wrote since the last call, taken apart.
  std::vector<Msg> Sent(TRdaBodyTransforms* transforms = nullptr) {
    std::vector<Msg> out;
    for (const std::string& f : FramesIn(driver.stream.written)) out.push_back(Decode(f, transforms));
    driver.stream.written.clear();
    return out;
  }

  TestDriver driver;
  TRdaClientEvents events;
  TRdaManualClock clock;
  TRdaClientCore core;
};

}  // namespace rda::test
