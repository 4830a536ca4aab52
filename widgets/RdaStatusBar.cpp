#include "widgets/RdaStatusBar.h"

#include <QLabel>

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
  for (QLabel* label : labels_) {
    removeWidget(label);
    delete label;
  }
  labels_.clear();
  widths_.clear();
  captionPanel_ = false;
  for (size_t i = 0; i < panels.size(); ++i) {
    auto* label = new QLabel(ToQString(panels[i].Text), this);
    label->setAlignment(panels[i].Alignment | Qt::AlignVCenter);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    const bool last = i + 1 == panels.size();
    // The last panel reaches to the right edge, as a status bar's last part does, and
    // no further: it never makes the window wider.
    if (last) {
      label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    } else {
      label->setFixedWidth(panels[i].Width);
    }
    label->setMinimumHeight(0);
    addWidget(label, last ? 1 : 0);
    labels_.push_back(label);
    widths_.push_back(panels[i].Width);
  }
  ShowPanels(!simplePanel_);
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
