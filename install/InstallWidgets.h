// The look the install utility's windows share: the "MS Sans Serif" 8 point font (11
// pixels; a similar sans-serif face where it is missing), and the message box of a kind with
// one OK button.
#pragma once

#include <QFont>
#include <string>

#include "install/InstallDialogs.h"

class QWidget;

namespace rda {

QFont InstallFont(bool bold = false);

// A modal message box over `parent` with the kind's icon, the kind as its title, the
// text and one OK button.
void ShowMessageDlg(QWidget* parent, const std::string& text, TMsgDlgType type);

}  // namespace rda
