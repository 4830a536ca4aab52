// rdaserver on PostgreSQL, through libpq.
//
// One PostgreSQL connection per session (each Connect opens its own): a
// session's transaction, its prepared statements and its open results live on
// that connection, so nothing has to follow a session from one pooled
// connection to another, and a session never waits for a free connection.
// PostgreSQL's max_connections bounds the sessions of all rdaservers on one
// database together.
//
// The connection is set to UTF-8, ISO dates in UTC and shortest exact floats,
// so values read back the way RowPacket reads SQLite's. Results stream one
// row at a time (libpq's single-row mode); when a session runs another
// statement while a result is still open (an open cursor of a client), the
// rest of the open result is read into memory first, since one connection
// runs one command at a time.
//
// A connection that PostgreSQL dropped (a restart, a terminated backend), or
// that could not be made when the session began, is opened at the next
// statement; until then statements fail with libpq's message. One dropped
// while the session was idle outside a transaction is found before the next
// statement is sent, so that statement runs on the new connection. A
// transaction open on a dropped connection is gone (PostgreSQL rolled it
// back): the statement that finds it fails, and InTransaction says so.
//
// Result columns are described by a declared type name that RowPacket's
// DecideColumn maps (docs/server.md has the table):
//
//   PostgreSQL type          declared              field type
//   smallint                 SMALLINT              ftSmallint
//   integer                  INTEGER               ftInteger (wider when a value needs it)
//   bigint, oid              BIGINT                ftLargeint
//   boolean                  BOOLEAN               ftBoolean
//   real                     REAL                  ftFloat
//   double precision         DOUBLE PRECISION      ftFloat
//   numeric                  NUMERIC               ftFloat
//   numeric(p,0), p <= 18    NUMERIC(p,0)          ftInteger / ftLargeint
//   numeric(p,s), s <= 4     NUMERIC(p,s)          ftBCD, size s
//   numeric(p,s), s > 4      NUMERIC(p,s)          ftFMTBcd, size s
//   money                    MONEY                 ftCurrency
//   varchar(n), char(n)      VARCHAR(n), CHAR(n)   ftString, size n (ftMemo above 8192)
//   varchar, text            VARCHAR, TEXT         ftString, size >= 255 (ftMemo above 8192)
//   name                     VARCHAR(63)           ftString
//   "char"                   CHAR(1)               ftString
//   bytea                    BLOB                  ftBlob
//   date                     DATE                  ftDate
//   time, timetz             TIME                  ftTime
//   timestamp, timestamptz   TIMESTAMP             ftDateTime (timestamptz in UTC)
//   uuid                     UUID                  ftGuid
//   anything else            TEXT                  ftString (its text form)
//
// A column that is an expression rather than a table's column is declared
// as SQLite declares one, so that both engines send it alike: integers as
// INTEGER (narrowed or widened by the values), texts without a type (sized
// by the values).
#pragma once

#include <memory>
#include <string>

#include "server/ServerDatabase.h"

namespace rda {

// Opens the PostgreSQL database that conninfo names (a "postgresql://" URI
// or a libpq connection string) and checks that it can be reached. Raises
// ESqlError with libpq's message.
std::unique_ptr<Database> OpenPostgresDatabase(const std::string& conninfo, const DatabaseLimits& limits);

// The declared type name of a result column of PostgreSQL type `type` with
// modifier `typmod` (see the table above); `expression` for a column that
// comes from no table.
std::string PostgresDeclaredType(unsigned type, int typmod, bool expression);

}  // namespace rda
