#include "widgets/RdaLabelFit.h"

#include <QLabel>
#include <algorithm>

namespace rda {

void FitLabel(QLabel* label, QSize minSize) {
  label->setMinimumSize(minSize.expandedTo(label->minimumSize()));
  label->adjustSize();  // the size hint, never below the minimum
}

void PlaceAfterLabels(std::initializer_list<std::pair<QLabel*, QWidget*>> rows) {
  int column = 0;
  for (const auto& [label, control] : rows) {
    column = std::max({column, control->x(), label->geometry().right() + 1 + kLabelGap});
  }
  for (const auto& row : rows) {
    QWidget* control = row.second;
    const int right = control->geometry().right();
    control->setGeometry(column, control->y(), right + 1 - column, control->height());
  }
}

}  // namespace rda
