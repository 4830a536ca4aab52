// TfrmEnterCompanyCode: the dialog that asks for the company code.
//
// OK closes it only when the edit holds text; otherwise it says so and the focus goes
// back into the edit. Help explains what the code is for. Cancel (and Escape) close it
// with the cancel result.
#pragma once

#include <QDialog>
#include <string>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace rda {

class TfrmEnterCompanyCode : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kEmptyCodeText =
      "You must enter your Company Code before continuing!\r\n"
      "(Type in DEMO if you want to run the Demo version).";
  static constexpr const char* kHelpText =
      "To configure this application properly, you need to enter your\r\n"
      "Company Code the first time the program is run. The settings\r\n"
      "will then be stored in a .ini file, so you will not need to enter\r\n"
      "your Company Code again the next time.\r\n\r\n"
      "To run the Demo version, enter DEMO for the Company Code.";

  explicit TfrmEnterCompanyCode(const std::string& caption, QWidget* parent = nullptr);

  QFrame* Panel1 = nullptr;
  QLabel* Panel1Caption = nullptr;
  QFrame* Panel2 = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* editCompanyCode = nullptr;
  QPushButton* BtnOK = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* btnHelp = nullptr;

  void BtnOKClick();
  void btnHelpClick();
};

}  // namespace rda
