// What the connection shows to the person at the screen, and where it shows it.
//
// The connection never draws a window. Every message box, Yes/No question, login
// dialog, address prompt, address list, wait cursor and "end the application" goes
// through TRdaUserInterface; the connection's state texts go to a TRdaStatusDisplay.
// The library ships a headless implementation (below); the Qt Widgets one lives with
// the widgets module. Nothing here depends on Qt.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace rda {

class TRdaClientCore;

// The cursor shown while a caller waits for a reply.
enum TWaitingCursor : unsigned char { cqNoChange = 0, cqHourGlass, cqSQLHourGlass };

// A user name and password typed into the login dialog.
struct TRdaLoginEntry {
  std::string UserName;
  std::string Password;
};

// What the client-update window shows while a server-pushed update arrives: its
// caption, the text under the bar (Label2) and the bar.
struct TRdaUpdateProgress {
  std::string Caption;
  std::string Label;
  int64_t Position = 0;
  int64_t Max = 100;
};

// The outcome of the server address list dialog. The dialog lets the user add and
// delete entries and type into its box; `list` and `text` are what it held when it
// closed, whichever button closed it.
struct TRdaAddressChoice {
  bool Accepted = false;  // closed with OK
  std::string Text;       // the text in the box
  std::vector<std::string> List;
};

class TRdaUserInterface {
 public:
  virtual ~TRdaUserInterface() = default;

  // A modal message box with one OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // A Yes/No confirmation; true for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
  // The login dialog; nullopt when the user cancelled it (also by closing it).
  virtual std::optional<TRdaLoginEntry> LoginDialog() = 0;
  // The single-address prompt: an input box with `title`, `prompt` and `initial`
  // text; nullopt when cancelled.
  virtual std::optional<std::string> InputAddress(const std::string& title,
                                                  const std::string& prompt,
                                                  const std::string& initial) = 0;
  // The server address list dialog, opened on `list` (in any order; the dialog
  // sorts) with `last` shown and selected.
  virtual TRdaAddressChoice ChooseAddress(const std::vector<std::string>& list,
                                          const std::string& last) = 0;
  // Asks the application to end: its event loop finishes. Returns at once.
  virtual void TerminateApplication() = 0;
  // The application's standard display of an error that no caller was waiting for
  // (an error raised while handling a socket event outside every wait).
  virtual void ShowException(const std::exception& error) = 0;

  // The log-in question of an HTTP proxy that wants one (status 407), with the proxy's
  // "host:port"; nullopt when the user cancelled. By default nobody is asked.
  virtual std::optional<TRdaLoginEntry> ProxyLoginDialog(const std::string& /*proxy*/) {
    return std::nullopt;
  }

  // The wait cursor; the default implementation shows none.
  virtual void SetWaitCursor(TWaitingCursor /*cursor*/) {}
  virtual void RestoreCursor() {}

  // The client-update window, one at a time: shown (not modal, on top, painted at
  // once, with the texts it has when made) when the server starts an update, moved on
  // while the update arrives, closed when the update file has come or the connection
  // was lost first. By default nothing is shown.
  virtual void ClientUpdateStarted() {}
  virtual void ClientUpdateProgress(const TRdaUpdateProgress& /*progress*/) {}
  virtual void ClientUpdateEnded() {}
};

// The headless user interface: for services, scripts and tests. It prints what a
// window would show to standard error (unless quiet) and answers from the settings
// store (QSettings, organisation "Rda", group "Headless"):
//
//   key          used for                             when absent
//   AnswerYes    every Yes/No question (true/false)   true (Yes)
//   UserName     the login dialog's user name          the dialog counts as cancelled
//   Password     the login dialog's password           empty
//   ProxyUserName  a proxy's log-in question (407)     the question counts as cancelled
//   ProxyPassword  its password                         empty
//
// The address prompt confirms the address it is shown, unless that is empty or the
// placeholder "Put.YourAddress.Here" (then it counts as cancelled); the address list
// confirms the last choice (cancelled when that is empty). TerminateApplication asks
// the Qt application to quit (QCoreApplication::quit: it ends a running
// QCoreApplication::exec and its nested loops, and does nothing when no exec runs).
// Everything shown is also kept in Shown() so that a program can read it back.
class TRdaHeadlessUserInterface : public TRdaUserInterface {
 public:
  explicit TRdaHeadlessUserInterface(bool quiet = false) : quiet_(quiet) {}

  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text) override;
  std::optional<TRdaLoginEntry> LoginDialog() override;
  std::optional<TRdaLoginEntry> ProxyLoginDialog(const std::string& proxy) override;
  std::optional<std::string> InputAddress(const std::string& title, const std::string& prompt,
                                          const std::string& initial) override;
  TRdaAddressChoice ChooseAddress(const std::vector<std::string>& list,
                                  const std::string& last) override;
  void TerminateApplication() override;
  void ShowException(const std::exception& error) override;
  // Prints the window's start and end (not every step of its bar).
  void ClientUpdateStarted() override;
  void ClientUpdateEnded() override;

  // Every message, question and error text shown, in order.
  const std::vector<std::string>& Shown() const { return shown_; }
  // How often the application was asked to end.
  int TerminateRequests() const { return terminateRequests_; }

 private:
  void Print(const std::string& kind, const std::string& text);

  bool quiet_;
  std::vector<std::string> shown_;
  int terminateRequests_ = 0;
};

// Where a connection shows its state text: a status bar with panels, or one simple
// text. The connection writes the state into panel 0 (or the simple text) and server
// SQL errors into panel 1.
//
// Lifetime: a display tells every connection that shows on it when it is destroyed,
// and those connections forget it, so it may be destroyed first.
class TRdaStatusDisplay {
 public:
  TRdaStatusDisplay() = default;
  TRdaStatusDisplay(const TRdaStatusDisplay&) = delete;
  TRdaStatusDisplay& operator=(const TRdaStatusDisplay&) = delete;
  virtual ~TRdaStatusDisplay();

  virtual bool SimplePanel() const = 0;
  virtual void SetSimpleText(const std::string& text) = 0;
  virtual void SetPanelText(int panel, const std::string& text) = 0;

 private:
  friend class TRdaClientCore;
  std::vector<TRdaClientCore*> users_;
};

}  // namespace rda
