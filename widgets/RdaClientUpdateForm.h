// TClientUpdateForm: the window a client shows while the server sends it a newer
// version of itself. The connection opens it when the update starts, moves its bar
// and texts as the file arrives (TRdaUpdateProgress) and closes it when the file has
// come (TRdaWidgetUserInterface does this for it).
//
// Caption "Program Update In Progress . . . "; no buttons in its title bar, so the
// user cannot close it; on top of the other windows; centred on the screen. Panel1
// fills it: Memo1 (read-only) tells the user what happens, PBar the transfer, and
// Panel2 at the bottom holds Label2 with the step. Label1 lies under Panel1.
#pragma once

#include <QWidget>

#include "connection/RdaUserInterface.h"

class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;

namespace rda {

class TClientUpdateForm : public QWidget {
  Q_OBJECT

 public:
  static constexpr char kCaption[] = "Program Update In Progress . . . ";
  static constexpr char kMemoText[] =
      "This software program must be updated.\r\n\r\nYou are not required to take any action.  "
      "This program has an intelligent update feature and it knows how to update itself.  "
      "Please wait while the update progresses.\r\n\r\nWhen the updated program has been "
      "received by your machine, it will start automatically and you can continue with your "
      "work.  Thank you.";
  static constexpr char kDesignLabel2[] = " Update Progress Indicator";
  static constexpr char kPreparing[] = "The Server is preparing the update ...";

  // Made with its texts as they are when the update starts (Label2 says the server is
  // preparing it); not shown yet.
  explicit TClientUpdateForm(QWidget* parent = nullptr);

  // Shows it centred on the screen, on top, and paints it at once (the connection may
  // not return to the event loop before the first bytes come).
  void ShowNow();
  // Caption, Label2 and the bar as `progress` has them; painted at once.
  void SetProgress(const TRdaUpdateProgress& progress);

  QLabel* Label1 = nullptr;
  QFrame* Panel1 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QProgressBar* PBar = nullptr;
  QFrame* Panel2 = nullptr;
  QLabel* Label2 = nullptr;
};

}  // namespace rda
