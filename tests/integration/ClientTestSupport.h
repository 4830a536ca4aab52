// Helpers for the client's integration tests against a real rdaserver: run the event
// loop until something happens, ask the server's control port, build requests.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "connection/RdaClientSocket.h"
#include "connection/RdaComponent.h"
#include "connection/RdaUserInterface.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "tests/support/ServerProcess.h"

namespace rda::test {

// Runs the event loop until `done` or `ms` pass; true when done.
inline bool RunUntil(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// The server's listing of its clients (one line each, then "ok").
inline std::string Clients(const ServerProcess& server) { return server.Control("clients"); }

inline int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A select as a client dataset sends it (token 3): SQL, rows to return, options,
// database and parameters.
inline TRdaStringLine Select(int componentId, const std::string& sql, int rows = -1,
                             int options = 0) {
  TRdaStringLine line;
  line.SetToken(3);
  line.SetMsgId(componentId);
  line.AddField(sql);
  line.AddField(int32_t{rows});
  line.AddField(int32_t{options});
  line.AddField("");
  return line;
}

// Keeps what the connection routes to it; a row packet is the end of a result.
class ResultComponent : public TRdaComponent {
 public:
  void ReceiveMessage(TRdaClientSocket&, const TRdaComponentMessage& m) override {
    messages.push_back(m);
  }
  // The rows text of the last row packet, or nullopt when none came.
  std::optional<std::string> LastRows() const {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
      if (it->Token == 5) return it->Fields[1];
    return std::nullopt;
  }
  std::vector<TRdaComponentMessage> messages;
};

// Records what a window would have shown, answers logins from a queue.
class ScriptedUI : public TRdaUserInterface {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  bool AskYesNo(const std::string& text) override {
    questions.push_back(text);
    return true;
  }
  std::optional<TRdaLoginEntry> LoginDialog() override {
    ++loginDialogs;
    if (logins.empty()) return std::nullopt;
    TRdaLoginEntry e = logins.front();
    logins.erase(logins.begin());
    return e;
  }
  std::optional<std::string> InputAddress(const std::string&, const std::string&,
                                          const std::string& initial) override {
    return initial;
  }
  TRdaAddressChoice ChooseAddress(const std::vector<std::string>& list,
                                  const std::string& last) override {
    return {true, last, list};
  }
  void TerminateApplication() override { ++terminated; }
  void ShowException(const std::exception& error) override { errors.push_back(error.what()); }

  std::vector<std::string> messages, questions, errors;
  std::vector<TRdaLoginEntry> logins;
  int loginDialogs = 0;
  int terminated = 0;
};

}  // namespace rda::test
