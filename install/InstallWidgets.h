// The look the install utility's windows share: the "MS Sans Serif" 8 point font (11
// pixels; a similar sans-serif face where it is missing), the instructions memo that
// shows its text whole, and the message box of a kind with one OK button.
#pragma once

#include <QFont>
#include <QStringList>
#include <string>

#include "install/InstallDialogs.h"

class QColor;
class QPlainTextEdit;
class QWidget;

namespace rda {

QFont InstallFont(bool bold = false);

// The faces InstallFont tries, in order; where none is installed the system's
// sans-serif face is used. A window takes the faces when it is made, and lays itself
// out for the face it got, so a program (or a test that lays the windows out in each
// face a system may have) can change them before it makes one.
QStringList InstallFontFamilies();
void SetInstallFontFamilies(QStringList families);

// The colour of `widget`'s text and of its children's labels. A palette, not a style
// sheet: a style sheet would stop the window's font from reaching the labels, which
// are then sized for one font and drawn in another.
void SetTextColor(QWidget* widget, const QColor& color);

// Memo1's text as it must show: the memo has no scroll bars (as the old one had
// none), so it grows down to `maxHeight` where the text needs it, and where that is
// not enough the font gets smaller until every line fits, unwrapped.
void FitMemoText(QPlainTextEdit* memo, int maxHeight);

// A modal message box over `parent` with the kind's icon, the kind as its title, the
// text and one OK button.
void ShowMessageDlg(QWidget* parent, const std::string& text, TMsgDlgType type);

}  // namespace rda
