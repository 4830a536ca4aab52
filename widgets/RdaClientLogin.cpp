#include "widgets/RdaClientLogin.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "widgets/RdaLabelFit.h"
#include "widgets/RdaText.h"

namespace rda {

namespace {

bool IsEnter(QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const int key = static_cast<QKeyEvent*>(event)->key();
  return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

TPasswordDlg::TPasswordDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Login Dialog"));
  setFixedSize(233, 124);

  Panel1 = new QFrame(this);
  Panel1->setGeometry(0, 0, 233, 25);
  Panel1->setFrameShape(QFrame::Panel);
  Panel1->setFrameShadow(QFrame::Raised);
  auto* title = new QLabel(QStringLiteral("Please Login"), Panel1);
  title->setGeometry(0, 0, 233, 25);
  title->setAlignment(Qt::AlignCenter);

  Panel2 = new QFrame(this);
  Panel2->setGeometry(0, 25, 233, 64);
  Panel2->setFrameShape(QFrame::Panel);
  Panel2->setFrameShadow(QFrame::Raised);
  // The labels take the room their texts need in the dialog's font; the edits stand
  // after the wider one.
  Label3 = new QLabel(QStringLiteral("User Name"), Panel2);
  Label3->move(8, 10);
  FitLabel(Label3, QSize(60, 16));
  eUserName = new QLineEdit(Panel2);
  eUserName->setGeometry(76, 7, 145, 21);
  Label4 = new QLabel(QStringLiteral("Password"), Panel2);
  Label4->move(8, 38);
  FitLabel(Label4, QSize(60, 16));
  ePassword = new QLineEdit(Panel2);
  ePassword->setGeometry(76, 35, 145, 21);
  ePassword->setEchoMode(QLineEdit::Password);
  PlaceAfterLabels({{Label3, eUserName}, {Label4, ePassword}});

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setGeometry(70, 94, 75, 25);
  CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
  CancelBtn->setGeometry(152, 94, 75, 25);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

  // Key preview: the dialog sees the edits' and buttons' keys first.
  for (QWidget* w : {static_cast<QWidget*>(eUserName), static_cast<QWidget*>(ePassword),
                     static_cast<QWidget*>(OKBtn), static_cast<QWidget*>(CancelBtn)}) {
    w->installEventFilter(this);
  }
}

void TPasswordDlg::showEvent(QShowEvent* event) {
  OKBtn->setDefault(true);
  eUserName->setFocus();
  QDialog::showEvent(event);
}

bool TPasswordDlg::eventFilter(QObject* watched, QEvent* event) {
  if (IsEnter(event)) {
    focusNextChild();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TPasswordDlg::keyPressEvent(QKeyEvent* event) {
  if (IsEnter(event)) {
    focusNextChild();
    return;
  }
  QDialog::keyPressEvent(event);
}

std::optional<TRdaLoginEntry> ShowLoginDialog() {
  TPasswordDlg dlg(QApplication::activeWindow());
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return TRdaLoginEntry{FromQString(dlg.eUserName->text()), FromQString(dlg.ePassword->text())};
}

}  // namespace rda
