// The control port's command language: one command per line, answered with
// "ok" or "error <text>" (the `clients` listing comes before its "ok").
//
//   command                                   sends (token)
//   help                                      (this list)
//   clients                                   (one line per client, then ok)
//   chat <client> <text>                      8  chat text
//   message <client> <text>                   9  text shown in a message box
//   broadcast <text>                          13 broadcast text, to every client
//   coded <client> <id> <text>                15 coded message
//   stream <client> <id> <text>               16 coded stream (the text's bytes)
//   params <client> <id> [item...]            28 coded parameter list, reply flag 0
//   settings <client> [item...]               48 server information code 14 (SQL settings)
//   info <client> <code> [item...]            48 server information with any code
//   ping <client>                             48 server information code 19 (ping)
//   custom <client> <token> <name> [item...]  50 custom object, reply flag 0
//   terminate <client> <text>                 25 the server ends the client
//   redirect <client> <address> <port>        47 redirect, list item "<address>:<port>"
//   reconnect <client>                        18 reconnect to the same server
//   reset <client>                            19 reset: close and reopen
//   exception <client> <errortoken> [text...] 64 asynchronous exception, one item per text
//   raw <client> <token> <componentid> [field...]  any token 0..70 with text fields
//   sendfile <client> <file> [<local name>]   28 coded parameter lists -75008: the
//                                             published file <file> (below --updates) in
//                                             segments, written as <local name> (default
//                                             <file>) below the client program's folder
//   disconnect <client>                       (closes the client's connection)
//
// <client> is a session id as `clients` lists it, "last" (the newest
// session) or "*" (every session). <text> is the rest of the line as it
// stands. In words and items, double quotes keep blanks (S="a b"). In texts, words
// and items the escapes \\ \" \n \r \t and \xHH stand for their bytes. An
// item is name=value: a value that is a 32-bit integer becomes ftInteger,
// anything else ftString; name:string=, name:int=, name:largeint=,
// name:float= and name:bool= choose the type. Items are input parameters.
#pragma once

#include <string>
#include <string_view>

namespace rda {

struct ControlTarget {
  enum Kind { kAll, kLast, kId };
  Kind kind = kAll;
  int id = 0;
};

struct ControlCommand {
  enum Kind { kHelp, kClients, kSend, kDisconnect, kSendFile };
  Kind kind = kHelp;
  ControlTarget target;
  std::string body;  // kSend: the composed string line to send
  std::string name;  // the command word, for the log
  // kSendFile: the published file and the name it is written under.
  std::string file;
  std::string localName;
};

// Reads one command line (without its line end). Raises rda::Exception
// with the text that follows "error " in the answer.
ControlCommand ParseControlCommand(std::string_view line);

// The command list `help` and --help show.
const char* ControlHelpText();

}  // namespace rda
