#include "widgets/RdaClientUpdateForm.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "widgets/RdaText.h"

namespace rda {

namespace {

constexpr int kWidth = 440;
constexpr int kMargin = 8;

// The memo's text as the widget shows it: its line ends as one line break each.
QString MemoText() {
  QString text = ToQString(TClientUpdateForm::kMemoText);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

int Clamped(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 0, INT_MAX)); }

}  // namespace

TClientUpdateForm::TClientUpdateForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint) {
  setWindowTitle(ToQString(kCaption));
  Label1 = new QLabel(QStringLiteral("Label1"), this);
  Label1->move(kMargin, kMargin);

  Panel1 = new QFrame(this);
  Panel1->setFrameShape(QFrame::Panel);
  Panel1->setFrameShadow(QFrame::Raised);
  auto* layout = new QVBoxLayout(Panel1);
  layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);

  Memo1 = new QPlainTextEdit(Panel1);
  Memo1->setReadOnly(true);
  Memo1->setFrameShape(QFrame::NoFrame);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setFocusPolicy(Qt::NoFocus);
  QPalette palette = Memo1->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  Memo1->setPalette(palette);
  Memo1->setPlainText(MemoText());
  // As high as its wrapped text, with a line to spare: the memo shows no scroll bar.
  const int textWidth = kWidth - 4 * kMargin - 2 * static_cast<int>(Memo1->document()->documentMargin());
  const QRect needed = Memo1->fontMetrics().boundingRect(QRect(0, 0, textWidth, 4000),
                                                         Qt::TextWordWrap, MemoText());
  Memo1->setFixedHeight(needed.height() + Memo1->fontMetrics().lineSpacing() +
                        2 * static_cast<int>(Memo1->document()->documentMargin()));
  layout->addWidget(Memo1);

  PBar = new QProgressBar(Panel1);
  PBar->setRange(0, 100);
  PBar->setValue(0);
  PBar->setTextVisible(false);
  layout->addWidget(PBar);

  Panel2 = new QFrame(Panel1);
  Panel2->setFrameShape(QFrame::Panel);
  Panel2->setFrameShadow(QFrame::Sunken);
  auto* bottom = new QVBoxLayout(Panel2);
  bottom->setContentsMargins(2, 2, 2, 2);
  Label2 = new QLabel(ToQString(kDesignLabel2), Panel2);
  bottom->addWidget(Label2);
  layout->addWidget(Panel2);

  // What the form does when it is made: the step the update is at.
  Label2->setText(ToQString(kPreparing));

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(Panel1);
  setFixedWidth(kWidth);
  setFixedHeight(sizeHint().height());
}

void TClientUpdateForm::ShowNow() {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  show();
  raise();
  repaint();
}

void TClientUpdateForm::SetProgress(const TRdaUpdateProgress& progress) {
  setWindowTitle(ToQString(progress.Caption));
  Label2->setText(ToQString(progress.Label));
  PBar->setRange(0, std::max(1, Clamped(progress.Max)));
  PBar->setValue(std::min(Clamped(progress.Position), PBar->maximum()));
  repaint();
}

}  // namespace rda
