// TPasswordDlg, the login dialog a connection shows when AutoLoginDlg is ltLoginDlg.
//
// Enter never closes it: the dialog sees every key first (key preview), and Enter
// moves the focus to the next control and goes no further. OK is chosen with the
// mouse or with the space bar on the button. Closing the window counts as Cancel.
#pragma once

#include <QDialog>
#include <optional>

#include "connection/RdaUserInterface.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;

namespace rda {

class TPasswordDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TPasswordDlg(QWidget* parent = nullptr);

  QFrame* Panel1 = nullptr;
  QFrame* Panel2 = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* eUserName = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* ePassword = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// Shows the login dialog modally, centred over the application's active window, and
// returns what was typed when it was closed with OK (two empty texts are an answer),
// nullopt otherwise. The dialog is gone when this returns.
std::optional<TRdaLoginEntry> ShowLoginDialog();

}  // namespace rda
