#include "widgets/RdaIPForm.h"

#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "widgets/RdaText.h"

namespace rda {

TRdaIPForm::TRdaIPForm(const std::vector<std::string>& list, const std::string& last, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("Choose IP Address"));
  QFont arial(QStringLiteral("Arial"));
  arial.setPixelSize(11);
  setFont(arial);
  setFixedSize(292, 133);

  GroupBox1 = new QGroupBox(QStringLiteral("IP Address"), this);
  GroupBox1->setGeometry(3, 4, 286, 89);
  IPComboBox = new QComboBox(GroupBox1);
  IPComboBox->setGeometry(8, 20, 269, IPComboBox->sizeHint().height());
  IPComboBox->setEditable(true);
  IPComboBox->setInsertPolicy(QComboBox::NoInsert);
  btnAdd = new QPushButton(QStringLiteral("&Add"), GroupBox1);
  btnAdd->setGeometry(8, 52, 75, 25);
  btnAdd->setAutoDefault(false);
  btnDelete = new QPushButton(QStringLiteral("&Delete"), GroupBox1);
  btnDelete->setGeometry(92, 52, 75, 25);
  btnDelete->setAutoDefault(false);
  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setGeometry(68, 101, 75, 25);
  OKButton->setDefault(true);
  CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  CancelButton->setGeometry(152, 101, 75, 25);
  CancelButton->setAutoDefault(false);
  connect(btnAdd, &QPushButton::clicked, this, [this] { btnAddClick(); });
  connect(btnDelete, &QPushButton::clicked, this, [this] { btnDeleteClick(); });
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

  for (const std::string& entry : list) AddSorted(ToQString(entry));
  const int selected = IndexOf(ToQString(last));
  IPComboBox->setCurrentIndex(selected >= 0 ? selected : AddSorted(ToQString(last)));

  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

std::string TRdaIPForm::Text() const { return FromQString(IPComboBox->currentText()); }

std::vector<std::string> TRdaIPForm::Entries() const {
  std::vector<std::string> entries;
  for (int i = 0; i < IPComboBox->count(); ++i) entries.push_back(FromQString(IPComboBox->itemText(i)));
  return entries;
}

int TRdaIPForm::IndexOf(const QString& text) const {
  for (int i = 0; i < IPComboBox->count(); ++i)
    if (IPComboBox->itemText(i).compare(text, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

int TRdaIPForm::AddSorted(const QString& text) {
  int at = 0;
  while (at < IPComboBox->count() && IPComboBox->itemText(at).compare(text, Qt::CaseInsensitive) <= 0) ++at;
  IPComboBox->insertItem(at, text);
  return at;
}

void TRdaIPForm::btnAddClick() {
  bool ok = false;
  const QString text = QInputDialog::getText(this, QStringLiteral("Server IP Address"),
                                             QStringLiteral("Enter IP Address"), QLineEdit::Normal,
                                             QString(), &ok);
  if (!ok || IndexOf(text) >= 0) return;
  IPComboBox->setCurrentIndex(AddSorted(text));
}

void TRdaIPForm::btnDeleteClick() {
  if (IPComboBox->count() == 0) return;
  const int at = IndexOf(IPComboBox->currentText());
  if (at >= 0) IPComboBox->removeItem(at);
  if (IPComboBox->count() > 0) IPComboBox->setCurrentIndex(0);
}

}  // namespace rda
