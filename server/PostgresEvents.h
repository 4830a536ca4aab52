// The event channel of rdaservers that share one PostgreSQL database.
//
// An event is kept in the table rda_events (made when missing) and announced
// by NOTIFY on the channel "rda_change" with its row's id and the publishing
// server's instance name, since a notification's payload holds at most 8000
// bytes and an event (the rows of a provider write) may be larger. Each
// server LISTENs on a connection of its own and reads the events of the
// others by id. Events older than a few minutes are deleted by the
// publishers as they go.
//
// The listener opens its connection again (once a second) when PostgreSQL
// drops it; what was published meanwhile is not delivered.
#pragma once

#include <memory>
#include <string>

#include "server/ServerDatabase.h"

namespace rda {

// A channel on the database conninfo names. Raises ESqlError when the event
// table cannot be made.
std::unique_ptr<EventChannel> OpenPostgresEventChannel(const std::string& conninfo);

}  // namespace rda
