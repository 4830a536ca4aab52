// The connection's user interface shown with Qt Widgets: message boxes with one OK
// button, Yes/No questions, the login dialog, the address prompt and the address list
// (TRdaIPForm), the client-update window (TClientUpdateForm), the wait cursor, the
// application's error display and ending the application.
//
//   rda::TRdaWidgetUserInterface ui;
//   socket.SetUserInterface(&ui);   // ui must outlive the connection's use of it
//
// Every dialog is modal and shown over the application's active window. Needs a
// QApplication.
#pragma once

#include <memory>

#include "connection/RdaUserInterface.h"

namespace rda {

class TClientUpdateForm;

class TRdaWidgetUserInterface : public TRdaUserInterface {
 public:
  TRdaWidgetUserInterface();
  ~TRdaWidgetUserInterface() override;

  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text) override;
  std::optional<TRdaLoginEntry> LoginDialog() override;
  std::optional<std::string> InputAddress(const std::string& title, const std::string& prompt,
                                          const std::string& initial) override;
  TRdaAddressChoice ChooseAddress(const std::vector<std::string>& list,
                                  const std::string& last) override;
  // Asks the application's event loop to end (QCoreApplication::quit: nothing happens
  // while no loop runs).
  void TerminateApplication() override;
  // An error box with the error's text.
  void ShowException(const std::exception& error) override;
  void SetWaitCursor(TWaitingCursor cursor) override;
  void RestoreCursor() override;
  // The update window: one at a time, owned here, closed by ClientUpdateEnded.
  void ClientUpdateStarted() override;
  void ClientUpdateProgress(const TRdaUpdateProgress& progress) override;
  void ClientUpdateEnded() override;
  // The update window while it is open, else null.
  TClientUpdateForm* UpdateForm() const { return updateForm_.get(); }

 private:
  int cursors_ = 0;
  std::unique_ptr<TClientUpdateForm> updateForm_;
};

}  // namespace rda
