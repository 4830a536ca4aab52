#include "widgets/RdaProgressDialog.h"

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "widgets/RdaText.h"

namespace rda {

TRdaProgressDialog::TRdaProgressDialog(QWidget* parent) : QDialog(parent) {
  setFixedSize(280, 136);
  QFont arial(QStringLiteral("Arial"));
  setFont(arial);
  Label1 = new QLabel(this);
  Label1->setGeometry(25, 16, 230, 16);
  Label1->setAlignment(Qt::AlignCenter);
  Gauge1 = new QProgressBar(this);
  Gauge1->setGeometry(25, 44, 230, 22);
  Gauge1->setRange(0, 100);
  Gauge1->setValue(0);
  Button = new QPushButton(QStringLiteral("Cancel"), this);
  Button->setGeometry(102, 90, 75, 25);
  connect(Button, &QPushButton::clicked, this, [this] { AskCancel(); });
}

void TRdaProgressDialog::reject() {
  if (Button->isVisible()) AskCancel();
}

void TRdaProgressDialog::AskCancel() {
  const auto answer = QMessageBox::question(this, windowTitle(),
                                            QStringLiteral("Are you sure you want to cancel?"),
                                            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  Continue = answer != QMessageBox::Yes;
}

namespace {

std::unique_ptr<TRdaProgressDialog> MakeProgress(int maximum, const std::string& caption,
                                                 bool cancel) {
  auto dlg = std::make_unique<TRdaProgressDialog>();
  dlg->Label1->setText(QString(12, QLatin1Char(' ')));
  dlg->setWindowTitle(ToQString(caption));
  if (maximum > 0) dlg->Gauge1->setMaximum(maximum);
  dlg->Gauge1->setVisible(maximum != 0);
  dlg->Continue = true;
  dlg->Button->setVisible(cancel);
  dlg->show();
  return dlg;
}

}  // namespace

std::unique_ptr<TRdaProgressDialog> ShowProgress(int maximum, const std::string& caption) {
  return MakeProgress(maximum, caption, true);
}

std::unique_ptr<TRdaProgressDialog> ShowProgressNoCancel(int maximum,
                                                         const std::string& caption) {
  return MakeProgress(maximum, caption, false);
}

}  // namespace rda
