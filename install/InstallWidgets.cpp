#include "install/InstallWidgets.h"

#include <QMessageBox>
#include <QAbstractTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

#include "widgets/RdaText.h"

namespace rda {

namespace {

// The window was laid out for "MS Sans Serif" at 11 pixels; where it is missing, the
// narrow sans-serif faces with similar widths come first, so that the texts need the
// least room (the windows make room for what they need all the same).
QStringList& Families() {
  static QStringList families{
      QStringLiteral("MS Sans Serif"),          QStringLiteral("Microsoft Sans Serif"),
      QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Liberation Sans"),
      QStringLiteral("Arial"),                  QStringLiteral("Helvetica"),
      QStringLiteral("DejaVu Sans Condensed")};
  return families;
}

constexpr int kFontPixels = 11;
// Below this a text is no longer read comfortably; the memo stops shrinking there.
constexpr int kSmallestMemoPixels = 8;

}  // namespace

QStringList InstallFontFamilies() { return Families(); }

void SetInstallFontFamilies(QStringList families) { Families() = std::move(families); }

QFont InstallFont(bool bold) {
  QFont font;
  font.setFamilies(Families());
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(kFontPixels);
  font.setBold(bold);
  return font;
}

void SetTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  widget->setPalette(palette);
}

void FitMemoText(QPlainTextEdit* memo, int maxHeight) {
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  const int margin = static_cast<int>(std::ceil(memo->document()->documentMargin()));
  const QMargins frame = memo->contentsMargins();
  // The room the text takes in a face, measured by the memo's own layout (font
  // metrics alone round each line's height differently in some faces): its widest
  // line and the cursor beside it, the height of every line, and the document's
  // margin all round (the view keeps one more pixel below).
  const auto need = [&](const QFont& font) {
    memo->setFont(font);
    QTextDocument* document = memo->document();
    QAbstractTextDocumentLayout* layout = document->documentLayout();
    qreal height = 0;
    qreal widest = 0;
    for (QTextBlock b = document->begin(); b.isValid(); b = b.next()) {
      const QRectF box = layout->blockBoundingRect(b);
      height += box.height();
      if (b.layout() != nullptr && b.layout()->lineCount() > 0)
        widest = std::max(widest, b.layout()->lineAt(0).naturalTextWidth());
    }
    return QSize(static_cast<int>(std::ceil(widest)) + 1 + 2 * margin + frame.left() + frame.right(),
                 static_cast<int>(std::ceil(height)) + 2 * margin + 1 + frame.top() + frame.bottom());
  };
  QFont font = memo->font();
  for (int px = font.pixelSize(); px > kSmallestMemoPixels; --px) {
    font.setPixelSize(px);
    const QSize size = need(font);
    if (size.width() <= memo->width() && size.height() <= maxHeight) break;
  }
  memo->setFont(font);
  memo->resize(memo->width(), std::min(maxHeight, std::max(memo->height(), need(font).height())));
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
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
