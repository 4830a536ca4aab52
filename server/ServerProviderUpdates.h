// Provider updates and provider broadcasts.
//
// A provider (RdaProviders: a named select with UpdateTable and KeyFields,
// ServerCatalog.h) is also the way back: a client sends the raw change log of
// a dataset opened through it (token 36, or several datasets as a provider
// transaction, token 45) and the server writes the SQL itself, from the
// provider's update table and key fields, inside one transaction:
//
//   log entry   statement
//   inserted    INSERT of the row's non-null values
//   modified    UPDATE of the fields whose value changed, WHERE by the update
//               mode over the values the client started from
//   deleted     DELETE WHERE by the update mode over the logged values
//
// Only columns of the update table are written, never the client's read-only,
// calculated and auto-increment fields. An UPDATE or DELETE that reaches no
// row means another client changed or removed the row meanwhile: a conflict.
// Any failure (a conflict, a constraint, a bad package) rolls the whole
// transaction back and the client gets the error with the failing row: the
// database is as it was and the client keeps its log. A provider transaction
// marked "~ProviderCommitAnySuccess" instead keeps the rows that went through
// (each row is a savepoint of its own) and reports the failed ones as a
// parameter list (#4 after the error text; name: the row's message, value:
// its "BookMark").
//
// When the package names an auto-increment field or fields to read back, the
// inserted rows come back to the client before the answer (token 35: pairs of
// a one-row dataset, the row as the table holds it, and the row's RecordID on
// the client).
//
// After the commit the rows that were written are pushed to every other
// client registered for that provider (token 44, or 55 for several datasets of
// one client), through each client's filter; never to the client that made
// the change. A broadcast dataset has "RdaChange" (0 updated, 1 deleted, 2
// inserted) and "RdaClientId" (the session that made the change) in front of
// the dataset's own fields; a deleted row carries its logged values.
//
// A registration (token 44 from the client: 1 / 0 for register / unregister,
// 0, the provider key, the filter) names the client's dataset by its
// component id. The filter is an SQL expression over the dataset's field
// names, evaluated by SQLite for each row ("XPort > 9000"); empty: every row.
// A filter that does not compile is logged and the registration is not made.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rda {

class SqlConnection;

// Who wants which provider's changes. Shared by the sessions of a server;
// thread-safe. Pushes run outside the lock.
class ProviderBroadcasts {
 public:
  using Push = std::function<void(std::string body)>;

  struct Registration {
    int sessionId = 0;
    int componentId = 0;
    std::string provider;  // the provider key as the client sent it
    std::string filter;
    Push push;
  };

  // Registers (or registers again, with a new filter) one dataset of a session.
  void Register(Registration registration);
  // Drops one dataset's registration; unknown ones are ignored.
  void Unregister(int sessionId, int componentId);
  // Drops every registration of a session (it ended).
  void Leave(int sessionId);
  // The registrations for a provider (name compared without regard to case;
  // only the part before a #2) of every session but `except`.
  std::vector<Registration> For(const std::string& provider, int except) const;
  size_t Count() const;

  // The provider's name in a key: the part before #2 (ProviderName #2
  // ServerMethod), blanks trimmed.
  static std::string ProviderOf(const std::string& key);

  // Where a change event goes besides this server's own clients: the other
  // servers on the same database (set once, before sessions start; unset
  // when the engine cannot tell other servers). Called on the session's
  // thread after the commit, with the session's connection.
  std::function<void(SqlConnection& db, const std::string& event)> publish;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<int, int>, Registration> entries_;
};

// A change event: the rows one provider write committed, as a parameter list
// with "Provider" (the provider key), "Origin" (the session that wrote them)
// and "Rows" (a dataset in stream form: "RdaChange", "RdaClientId", then the
// dataset's fields). DeliverChange pushes it to the registrations for the
// provider of every session but `except` (-1: every session), through each
// one's filter, which `db` evaluates. Raises Exception for an event that does
// not read; failing filters are logged and leave their registration out.
void DeliverChange(SqlConnection& db, const ProviderBroadcasts& broadcasts, const std::string& event, int except,
                   const std::function<void(const std::string&)>& log);

}  // namespace rda
