// TRDAStatusBar: the status bar in which a connection shows its state.
//
// A bar of panels, each a sunken label of a fixed width (the last one takes what room
// is left), or one simple text when SimplePanel is set. A connection that has the bar
// as its StatusBar writes its state text into panel 0 (or the simple text) and server
// SQL errors and HTTP status texts into panel 1 (TRdaStatusDisplay).
//
// A new bar has three panels. When its owner is a window wider than 350 pixels,
// panels 0 and 2 are 175 wide and panel 1 takes the owner's width less 350; panel 2
// shows Caption, or kVendorCaption while Caption is empty. A window that keeps its own
// panels replaces these with SetPanels.
#pragma once

#include <QStatusBar>
#include <string>
#include <vector>

#include "connection/RdaUserInterface.h"

class QLabel;

namespace rda {

class TRDAStatusBar : public QStatusBar, public TRdaStatusDisplay {
  Q_OBJECT

 public:
  static constexpr const char* kVendorCaption = "Rda Remote Data Access";

  struct Panel {
    std::string Text;
    int Width = 50;
    Qt::Alignment Alignment = Qt::AlignLeft;
  };

  explicit TRDAStatusBar(QWidget* owner = nullptr);
  ~TRDAStatusBar() override;

  // [""] Shown in panel 2 of the panels made at creation.
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& value);
  const std::string& About() const { return about_; }
  void SetAbout(const std::string& value) { about_ = value; }

  // Replaces every panel.
  void SetPanels(const std::vector<Panel>& panels);
  int PanelCount() const { return static_cast<int>(labels_.size()); }
  std::string PanelText(int panel) const;
  int PanelWidth(int panel) const;
  Qt::Alignment PanelAlignment(int panel) const;
  std::string SimpleText() const { return simpleText_; }

  // [false] One text over the whole bar instead of the panels.
  void SetSimplePanel(bool value);

  // TRdaStatusDisplay. A panel that does not exist is ignored. Texts are shown at once
  // (repainted), since they are often set just before a long wait.
  bool SimplePanel() const override { return simplePanel_; }
  void SetSimpleText(const std::string& text) override;
  void SetPanelText(int panel, const std::string& text) override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  static constexpr int kPanelTop = 2;     // pixels above the panels
  static constexpr int kPanelBottom = 1;  // and below them
  static constexpr int kPanelGap = 2;     // between two panels

  void ShowPanels(bool visible);
  void LayOutPanels();

  std::string caption_;
  std::string about_;
  std::string simpleText_;
  bool simplePanel_ = false;
  bool captionPanel_ = false;  // panel 2 shows the caption (the panels made at creation)
  std::vector<QLabel*> labels_;  // owned by the bar (Qt parent)
  std::vector<int> widths_;      // as set; the last panel also takes what room is left
};

}  // namespace rda
