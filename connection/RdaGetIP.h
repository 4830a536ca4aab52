// The server addresses remembered on this machine, and the two ways of asking the user
// for one: the address list (ChooseIPAddress) and the single-address prompt
// (AskServerAddress). A connection uses them when its ConnectAction asks for an
// address at start-up.
//
// The store is the settings store of the platform (QSettings, organisation "Rda":
// the registry key "Software\Rda" on Windows, ~/.config/Rda.conf elsewhere), group
// "Misc":
//
//   value                          meaning
//   IPForTesting                   the address chosen last
//   IP Address Count               number of listed addresses
//   IPAddress 0, IPAddress 1, ...  the listed addresses
//
// Numbered values beyond the count are left alone when a shorter list is written;
// they are not read again.
#pragma once

#include <optional>
#include <string>

#include "connection/RdaUserInterface.h"

namespace rda {

// Shows the address list: the stored addresses (trimmed; empty ones and the last
// choice skipped) plus the last choice, selected. Whichever button closes it, the box
// text (trimmed, added to the list when new) becomes the last choice and the list is
// stored, sorted. Returns the box text when closed with OK, else "". With
// `terminateWhenEmpty`, an empty result ends the application.
std::string ChooseIPAddress(TRdaUserInterface& ui, bool terminateWhenEmpty);

// Asks for one address, starting from the last choice (or "Put.YourAddress.Here").
// A confirmed, non-empty answer is stored as the last choice. Cancelling ends the
// application and returns nullopt.
std::optional<std::string> AskServerAddress(TRdaUserInterface& ui);

// The last choice, without asking; "" when none is stored.
std::string ReadIPForTesting();

}  // namespace rda
