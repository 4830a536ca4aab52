#include "install/VNComCod.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "install/InstallWidgets.h"
#include "widgets/RdaLabelFit.h"
#include "widgets/RdaText.h"

namespace rda {

namespace {

// A panel with a raised inner and a lowered outer bevel.
QFrame* BevelPanel(QWidget* parent, const QRect& geometry) {
  auto* panel = new QFrame(parent);
  panel->setGeometry(geometry);
  panel->setFrameShape(QFrame::Panel);
  panel->setFrameShadow(QFrame::Sunken);
  auto* inner = new QFrame(panel);
  inner->setGeometry(1, 1, geometry.width() - 2, geometry.height() - 2);
  inner->setFrameShape(QFrame::Panel);
  inner->setFrameShadow(QFrame::Raised);
  return panel;
}

QPushButton* Button(QWidget* parent, const char* caption, const QRect& geometry, bool bold) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setGeometry(geometry);
  b->setFont(InstallFont(bold));
  return b;
}

}  // namespace

TfrmEnterCompanyCode::TfrmEnterCompanyCode(const std::string& caption, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(ToQString(caption));
  setFont(InstallFont());
  setFixedSize(229, 101);

  Panel1 = BevelPanel(this, QRect(0, 0, 229, 29));
  Panel1Caption = new QLabel(QStringLiteral("Please Enter Your Company Code"), Panel1);
  Panel1Caption->setGeometry(2, 2, 225, 25);
  Panel1Caption->setAlignment(Qt::AlignCenter);
  Panel1Caption->setFont(InstallFont(true));
  SetTextColor(Panel1Caption, QColor(0, 0, 128));  // navy

  Panel2 = BevelPanel(this, QRect(0, 27, 229, 38));
  Label3 = new QLabel(QStringLiteral("Company Code:"), Panel2);
  Label3->move(8, 12);
  FitLabel(Label3);
  editCompanyCode = new QLineEdit(Panel2);
  editCompanyCode->setGeometry(87, 8, 134, 21);
  PlaceAfterLabels({{Label3, editCompanyCode}});  // the text never touches the edit

  BtnOK = Button(this, "&OK", QRect(78, 72, 75, 25), true);
  CancelBtn = Button(this, "&Cancel", QRect(158, 72, 71, 25), false);
  btnHelp = Button(this, "&Help", QRect(2, 72, 71, 25), false);
  BtnOK->setDefault(true);
  connect(BtnOK, &QPushButton::clicked, this, [this] { BtnOKClick(); });
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(btnHelp, &QPushButton::clicked, this, [this] { btnHelpClick(); });

  setTabOrder(editCompanyCode, BtnOK);
  setTabOrder(BtnOK, CancelBtn);
  setTabOrder(CancelBtn, btnHelp);
  editCompanyCode->setFocus();
}

void TfrmEnterCompanyCode::BtnOKClick() {
  if (!editCompanyCode->text().isEmpty()) {
    accept();
    return;
  }
  ShowMessageDlg(this, kEmptyCodeText, mtInformation);
  editCompanyCode->setFocus();
}

void TfrmEnterCompanyCode::btnHelpClick() { ShowMessageDlg(this, kHelpText, mtInformation); }

}  // namespace rda
