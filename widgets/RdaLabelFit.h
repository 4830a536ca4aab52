// Labels that fit their text in whatever face and size the system gives.
//
// The dialogs were laid out in pixels for one Windows font. Elsewhere a text may be
// wider, so a label is sized to its text (never smaller than its place says), and a
// control that stands after a label moves right when the text would come too near:
// the places in the layout are where things stand at the least.
#pragma once

#include <QSize>
#include <initializer_list>
#include <utility>

class QLabel;
class QWidget;

namespace rda {

// The room kept between a label's text and the control it names.
inline constexpr int kLabelGap = 4;

// Sizes `label` to its text from where it stands, never smaller than `minSize`.
void FitLabel(QLabel* label, QSize minSize = {});

// Rows of a label (already fitted) and the control it names, the controls in one
// column: when a label would come nearer than kLabelGap to the column, the whole
// column moves right; it never moves left. The controls keep their right edges, so
// they narrow by what they moved.
void PlaceAfterLabels(std::initializer_list<std::pair<QLabel*, QWidget*>> rows);

}  // namespace rda
