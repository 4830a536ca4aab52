#include "widgets/RdaStatusBar.h"

#include <QLabel>
#include <algorithm>

#include "widgets/RdaText.h"

namespace rda {

TRDAStatusBar::TRDAStatusBar(QWidget* owner) : QStatusBar(owner) {
  setSizeGripEnabled(false);
  std::vector<Panel> panels(3);
  if (owner != nullptr && owner->isWindow() && owner->width() > 350) {
    panels[0].Width = 175;
    panels[1].Width = owner->width() - 350;
    panels[2].Width = 175;
  }
  SetPanels(panels);
  captionPanel_ = true;
  SetCaption(caption_);
}

TRDAStatusBar::~TRDAStatusBar() = default;

void TRDAStatusBar::SetCaption(const std::string& value) {
  caption_ = value;
  if (captionPanel_ && labels_.size() > 2) {
    SetPanelText(2, caption_.empty() ? std::string(kVendorCaption) : caption_);
  }
}

void TRDAStatusBar::SetPanels(const std::vector<Panel>& panels) {
  qDeleteAll(labels_);
  labels_.clear();
  widths_.clear();
  captionPanel_ = false;
  for (const Panel& panel : panels) {
    auto* label = new QLabel(ToQString(panel.Text), this);
    label->setAlignment(panel.Alignment | Qt::AlignVCenter);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    labels_.push_back(label);
    widths_.push_back(panel.Width);
  }
  LayOutPanels();
  ShowPanels(!simplePanel_);
}

void TRDAStatusBar::resizeEvent(QResizeEvent* event) {
  QStatusBar::resizeEvent(event);
  LayOutPanels();
}

void TRDAStatusBar::LayOutPanels() {
  // The panels stand as a status bar's parts do, not in QStatusBar's layout (which
  // keeps 5 of a 19-pixel bar's pixels empty and so clips an 11-pixel font): from the
  // left edge, each as wide as it was set with a small gap between, 2 pixels below
  // the top and 1 above the bottom. The last one reaches the right edge and no
  // further, so it never makes the window wider.
  int x = 0;
  const int height = std::max(0, this->height() - kPanelTop - kPanelBottom);
  for (size_t i = 0; i < labels_.size(); ++i) {
    const bool last = i + 1 == labels_.size();
    const int width = last ? std::max(0, this->width() - x) : widths_[i];
    labels_[i]->setGeometry(x, kPanelTop, width, height);
    x += width + kPanelGap;
  }
}

std::string TRDAStatusBar::PanelText(int panel) const {
  if (panel < 0 || panel >= PanelCount()) return {};
  return FromQString(labels_[static_cast<size_t>(panel)]->text());
}

int TRDAStatusBar::PanelWidth(int panel) const {
  if (panel < 0 || panel >= PanelCount()) return 0;
  return widths_[static_cast<size_t>(panel)];
}

Qt::Alignment TRDAStatusBar::PanelAlignment(int panel) const {
  if (panel < 0 || panel >= PanelCount()) return {};
  return labels_[static_cast<size_t>(panel)]->alignment() & Qt::AlignHorizontal_Mask;
}

void TRDAStatusBar::SetSimplePanel(bool value) {
  simplePanel_ = value;
  ShowPanels(!value);
  if (value) {
    showMessage(ToQString(simpleText_));
  } else {
    clearMessage();
  }
}

void TRDAStatusBar::ShowPanels(bool visible) {
  for (QLabel* label : labels_) label->setVisible(visible);
}

void TRDAStatusBar::SetSimpleText(const std::string& text) {
  simpleText_ = text;
  if (simplePanel_) {
    showMessage(ToQString(text));
    repaint();
  }
}

void TRDAStatusBar::SetPanelText(int panel, const std::string& text) {
  if (panel < 0 || panel >= PanelCount()) return;
  QLabel* label = labels_[static_cast<size_t>(panel)];
  label->setText(ToQString(text));
  if (label->isVisible()) label->repaint();
}

}  // namespace rda
