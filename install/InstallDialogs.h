// The dialogs of the install utility, as the install steps see them: a message box of
// a kind with one OK button, and the company-code dialog. The main window shows real
// dialogs; the headless mode prints them (TXIUHeadless.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace rda {

enum TMsgDlgType : uint8_t { mtWarning = 0, mtError, mtInformation, mtConfirmation };

// "Warning", "Error", "Information", "Confirmation".
inline const char* MsgDlgTypeName(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return "Warning";
    case mtError:
      return "Error";
    case mtInformation:
      return "Information";
    case mtConfirmation:
      return "Confirmation";
  }
  return "Information";
}

class TInstallDialogs {
 public:
  virtual ~TInstallDialogs() = default;
  // A modal message box with the kind's icon and one OK button.
  virtual void MessageDlg(const std::string& text, TMsgDlgType type) = 0;
  // TfrmEnterCompanyCode with `caption`: the text in its edit when closed with OK
  // (never empty: OK refuses an empty edit), nullopt when cancelled.
  virtual std::optional<std::string> EnterCompanyCode(const std::string& caption) = 0;
  // Why a step failed, or what it refused, where the dialogs show nothing or not
  // everything (the headless mode prints it; the window keeps its dialogs as they are).
  virtual void Note(const std::string& /*text*/) {}
};

}  // namespace rda
