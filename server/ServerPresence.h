// Who is logged in to the server now, for the user list and instant messages.
//
// Each session with a verified login joins under its user name with a way to
// push a composed string line to its client (the connection's queue, which the
// session's own thread packs and writes). Joining and leaving announce the new
// user list to every other session that joined (coded parameter list -75013
// with "~UserList"); an instant message goes to every session of its
// recipient.
//
// Thread-safe: sessions on their own threads call it. Pushes run outside the
// lock; a push must not call back into the presence.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace rda {

class TRdaParamList;

// A user logged in now, as the user list shows it.
struct PresentUser {
  std::string userName;  // in the system's code page
  int status = 1;        // 1: online
  int clientId = 0;
};

class ServerPresence {
 public:
  using Push = std::function<void(std::string body)>;

  // Joins (or joins again) session `sessionId` as `userName`; the others are
  // told the new list.
  void Join(int sessionId, const std::string& userName, Push push);
  // The session is gone; the others are told the new list. Unknown ids are ignored.
  void Leave(int sessionId);
  std::vector<PresentUser> Users() const;
  // Hands body to every session of userName (without regard to case); the
  // number of sessions reached.
  int SendTo(const std::string& userName, const std::string& body);
  // A number for a message delivered at once (waiting mail uses its row id).
  int NextMessageId() { return nextMessageId_.fetch_add(1) + 1; }

  // The string line -75013 that carries the user list (and the contacts when
  // not empty), as the server sends it.
  static std::string UserListLine(const std::vector<PresentUser>& users);
  // Sets "~UserList" of a list to the users as a dataset (UserName, Status).
  static void PutUserList(TRdaParamList& params, const std::vector<PresentUser>& users);

 private:
  struct Entry {
    PresentUser user;
    Push push;
  };
  void Announce(int except);

  mutable std::mutex mutex_;
  // Held while a user list is made and handed out, so that lists reach every
  // client in the order of the changes (two sessions joining or leaving at
  // once on their own threads could otherwise hand out the older list last).
  // Taken before mutex_; a push takes only its connection's own lock.
  std::mutex announceMutex_;
  std::map<int, Entry> sessions_;
  std::atomic<int> nextMessageId_{1000000};
};

}  // namespace rda
