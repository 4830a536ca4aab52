#include "widgets/RdaWidgetUserInterface.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "widgets/RdaClientLogin.h"
#include "widgets/RdaText.h"

namespace rda {

void TRdaWidgetUserInterface::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), ToQString(text),
                  QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

bool TRdaWidgetUserInterface::AskYesNo(const std::string& text) {
  QMessageBox box(QMessageBox::Question, QApplication::applicationName(), ToQString(text),
                  QMessageBox::Yes | QMessageBox::No, QApplication::activeWindow());
  return box.exec() == QMessageBox::Yes;
}

std::optional<TRdaLoginEntry> TRdaWidgetUserInterface::LoginDialog() { return ShowLoginDialog(); }

std::optional<std::string> TRdaWidgetUserInterface::InputAddress(const std::string& title,
                                                                 const std::string& prompt,
                                                                 const std::string& initial) {
  bool ok = false;
  const QString text = QInputDialog::getText(QApplication::activeWindow(), ToQString(title),
                                             ToQString(prompt), QLineEdit::Normal,
                                             ToQString(initial), &ok);
  if (!ok) return std::nullopt;
  return FromQString(text);
}

TRdaAddressChoice TRdaWidgetUserInterface::ChooseAddress(const std::vector<std::string>& list,
                                                         const std::string& last) {
  // A box to type into with the remembered addresses under it, and buttons to add the
  // typed address to the list and to delete the selected one.
  QDialog dlg(QApplication::activeWindow());
  dlg.setWindowTitle(QStringLiteral("Server Address"));
  auto* combo = new QComboBox(&dlg);
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);
  std::vector<std::string> sorted = list;
  std::sort(sorted.begin(), sorted.end());
  for (const std::string& a : sorted) combo->addItem(ToQString(a));
  combo->setEditText(ToQString(last));
  auto* add = new QPushButton(QStringLiteral("&Add"), &dlg);
  auto* remove = new QPushButton(QStringLiteral("&Delete"), &dlg);
  QObject::connect(add, &QPushButton::clicked, &dlg, [combo] {
    const QString t = combo->currentText().trimmed();
    if (!t.isEmpty() && combo->findText(t) < 0) combo->addItem(t);
  });
  QObject::connect(remove, &QPushButton::clicked, &dlg, [combo] {
    const int i = combo->findText(combo->currentText());
    if (i >= 0) combo->removeItem(i);
    combo->setEditText(QString());
  });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dlg);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
  auto* row = new QHBoxLayout;
  row->addWidget(combo, 1);
  row->addWidget(add);
  row->addWidget(remove);
  auto* layout = new QVBoxLayout(&dlg);
  layout->addLayout(row);
  layout->addWidget(buttons);
  TRdaAddressChoice choice;
  choice.Accepted = dlg.exec() == QDialog::Accepted;
  choice.Text = FromQString(combo->currentText());
  for (int i = 0; i < combo->count(); ++i) choice.List.push_back(FromQString(combo->itemText(i)));
  return choice;
}

void TRdaWidgetUserInterface::TerminateApplication() { QCoreApplication::quit(); }

void TRdaWidgetUserInterface::ShowException(const std::exception& error) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationName(),
                  ToQString(error.what()), QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

void TRdaWidgetUserInterface::SetWaitCursor(TWaitingCursor cursor) {
  if (cursor == cqNoChange) return;
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  ++cursors_;
}

void TRdaWidgetUserInterface::RestoreCursor() {
  if (cursors_ == 0) return;
  --cursors_;
  QGuiApplication::restoreOverrideCursor();
}

}  // namespace rda
