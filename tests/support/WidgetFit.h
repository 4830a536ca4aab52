// Whether the labels of a window show their whole text: font metrics against
// geometry, so that a clipped caption ("User Nam") fails a test instead of waiting
// for someone to look at a picture.
//
//   EXPECT_EQ(test::LabelsThatDoNotFit(dialog), std::vector<std::string>{});
#pragma once

#include <QAbstractScrollArea>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextLayout>
#include <string>
#include <vector>

namespace rda::test {

// The room a label's text is drawn in, in the label's own coordinates (as QLabel
// computes it: contents less margin, less the indent a framed label keeps).
inline QRect LabelTextArea(const QLabel* label) {
  QRect area = label->contentsRect();
  const int margin = label->margin();
  area.adjust(margin, margin, -margin, -margin);
  int indent = label->indent();
  if (indent < 0 && label->frameWidth() > 0) {
    indent = label->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - margin;
  }
  if (indent > 0) {
    const Qt::Alignment align = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
    if (align & Qt::AlignLeft) area.setLeft(area.left() + indent);
    if (align & Qt::AlignRight) area.setRight(area.right() - indent);
    if (align & Qt::AlignTop) area.setTop(area.top() + indent);
    if (align & Qt::AlignBottom) area.setBottom(area.bottom() - indent);
  }
  return area;
}

// A control a label may stand beside: anything but a bare frame or container, which
// only holds or draws behind the others.
inline bool IsControl(const QWidget* w) {
  const QMetaObject* meta = w->metaObject();
  return meta != &QWidget::staticMetaObject && meta != &QFrame::staticMetaObject;
}

// One line for every label under `top` (shown with it) whose text does not fit: wider
// or taller than the room the label gives it, reaching out of the label's parent, or
// nearer than `gap` pixels (left or right) to a control beside it. Empty when all fit.
inline std::vector<std::string> LabelsThatDoNotFit(QWidget* top, int gap = 2) {
  std::vector<std::string> faults;
  for (QLabel* label : top->findChildren<QLabel*>()) {
    const QString text = label->text();
    if (!label->isVisibleTo(top) || text.trimmed().isEmpty()) continue;
    const std::string name = "\"" + text.toStdString() + "\"";
    const QRect area = LabelTextArea(label);
    QSize need = label->fontMetrics().size(0, text);
    if (label->wordWrap()) need = QSize(area.width(), label->heightForWidth(label->width()));
    if (need.width() > area.width() || need.height() > area.height()) {
      faults.push_back(name + " needs " + std::to_string(need.width()) + "x" +
                       std::to_string(need.height()) + ", has " + std::to_string(area.width()) +
                       "x" + std::to_string(area.height()));
      continue;
    }
    const QRect drawn =
        QStyle::alignedRect(label->layoutDirection(), label->alignment(), need, area)
            .translated(label->pos());
    QWidget* parent = label->parentWidget();
    if (!parent->rect().contains(drawn)) {
      faults.push_back(name + " reaches out of its parent");
      continue;
    }
    for (QObject* o : parent->children()) {
      auto* w = qobject_cast<QWidget*>(o);
      if (w == nullptr || w == label || !w->isVisibleTo(top) || !IsControl(w)) continue;
      if (drawn.adjusted(-gap, 0, gap, 0).intersects(w->geometry())) {
        faults.push_back(name + " touches " + w->metaObject()->className() + " " +
                         w->objectName().toStdString());
      }
    }
  }
  return faults;
}

// Whether a memo (which shows no scroll bars) shows its whole text: nothing to scroll
// either way and no line wrapped. Empty when it does; else what does not fit.
inline std::string MemoTextThatDoesNotFit(QPlainTextEdit* memo) {
  if (memo->verticalScrollBar()->maximum() > 0) return "the memo's lines are taller than it is";
  if (memo->horizontalScrollBar()->maximum() > 0) return "the memo's lines are wider than it is";
  for (QTextBlock b = memo->document()->begin(); b.isValid(); b = b.next()) {
    if (b.layout() != nullptr && b.layout()->lineCount() > 1) {
      return "the memo wraps \"" + b.text().toStdString() + "\"";
    }
  }
  return {};
}

}  // namespace rda::test
