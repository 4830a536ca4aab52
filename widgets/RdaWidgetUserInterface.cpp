#include "widgets/RdaWidgetUserInterface.h"

#include <QApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>

#include "widgets/RdaClientLogin.h"
#include "widgets/RdaClientUpdateForm.h"
#include "widgets/RdaIPForm.h"
#include "widgets/RdaText.h"

namespace rda {

TRdaWidgetUserInterface::TRdaWidgetUserInterface() = default;
TRdaWidgetUserInterface::~TRdaWidgetUserInterface() = default;

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
  TRdaIPForm dlg(list, last, QApplication::activeWindow());
  TRdaAddressChoice choice;
  choice.Accepted = dlg.exec() == QDialog::Accepted;
  choice.Text = dlg.Text();
  choice.List = dlg.Entries();
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

void TRdaWidgetUserInterface::ClientUpdateStarted() {
  updateForm_ = std::make_unique<TClientUpdateForm>();
  updateForm_->ShowNow();
}

void TRdaWidgetUserInterface::ClientUpdateProgress(const TRdaUpdateProgress& progress) {
  if (updateForm_) updateForm_->SetProgress(progress);
}

void TRdaWidgetUserInterface::ClientUpdateEnded() { updateForm_.reset(); }

void TRdaWidgetUserInterface::RestoreCursor() {
  if (cursors_ == 0) return;
  --cursors_;
  QGuiApplication::restoreOverrideCursor();
}

}  // namespace rda
