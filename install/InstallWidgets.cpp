#include "install/InstallWidgets.h"

#include <QMessageBox>

#include "widgets/RdaText.h"

namespace rda {

QFont InstallFont(bool bold) {
  QFont font;
  // The window was laid out for "MS Sans Serif" at 11 pixels; where it is missing, the
  // narrow sans-serif faces with similar widths come first, so that the texts still
  // fit their places.
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                    QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("Arial"), QStringLiteral("Helvetica"),
                    QStringLiteral("DejaVu Sans Condensed")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
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
