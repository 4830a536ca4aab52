#include "install/InstallWidgets.h"

#include <QMessageBox>

#include "widgets/RdaText.h"

namespace rda {

QFont InstallFont(bool bold) {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  font.setBold(bold);
  return font;
}

void ShowMessageDlg(QWidget* parent, const std::string& text, TMsgDlgType type) {
  QMessageBox::Icon icon = QMessageBox::Information;
  switch (type) {
    case mtWarning:
      icon = QMessageBox::Warning;
      break;
    case mtError:
      icon = QMessageBox::Critical;
      break;
    case mtInformation:
      icon = QMessageBox::Information;
      break;
    case mtConfirmation:
      icon = QMessageBox::Question;
      break;
  }
  QMessageBox box(icon, QString::fromLatin1(MsgDlgTypeName(type)), ToQString(text),
                  QMessageBox::Ok, parent);
  box.setFont(InstallFont());
  box.exec();
}

}  // namespace rda
