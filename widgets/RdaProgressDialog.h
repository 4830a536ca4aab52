// TRdaProgressDialog: the window a client dataset shows while it reads a large result.
//
// ShowProgress and ShowProgressNoCancel make one (owned by the caller), show it
// without blocking and return it; the caller moves Gauge1 and deletes the dialog.
// Cancel asks "Are you sure you want to cancel?" and clears Continue on Yes; the
// reader may look at Continue to stop early.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

namespace rda {

class TRdaProgressDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TRdaProgressDialog(QWidget* parent = nullptr);

  QLabel* Label1 = nullptr;
  QProgressBar* Gauge1 = nullptr;
  QPushButton* Button = nullptr;
  bool Continue = true;

 protected:
  void reject() override;  // Escape and the close box ask like Cancel

 private:
  void AskCancel();
};

std::unique_ptr<TRdaProgressDialog> ShowProgress(int maximum, const std::string& caption);
std::unique_ptr<TRdaProgressDialog> ShowProgressNoCancel(int maximum,
                                                         const std::string& caption);

}  // namespace rda
