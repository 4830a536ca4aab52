#include "server/ServerPresence.h"

#include "base/Text.h"
#include "memdata/RdaParamBridge.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"

namespace rda {

constexpr int kUserNameSize = 35;

void ServerPresence::Join(int sessionId, const std::string& userName, Push push) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[sessionId] = Entry{PresentUser{userName, 1, sessionId}, std::move(push)};
  }
  Announce(sessionId);
}

void ServerPresence::Leave(int sessionId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sessions_.erase(sessionId) == 0) return;
  }
  Announce(sessionId);
}

std::vector<PresentUser> ServerPresence::Users() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PresentUser> users;
  for (const auto& [id, e] : sessions_) users.push_back(e.user);
  return users;
}

int ServerPresence::SendTo(const std::string& userName, const std::string& body) {
  std::vector<Push> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, e] : sessions_)
      if (SameTextAscii(e.user.userName, userName)) targets.push_back(e.push);
  }
  for (const Push& p : targets) p(body);
  return static_cast<int>(targets.size());
}

void ServerPresence::Announce(int except) {
  std::lock_guard<std::mutex> order(announceMutex_);
  std::vector<PresentUser> users;
  std::vector<Push> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, e] : sessions_) {
      users.push_back(e.user);
      if (id != except) targets.push_back(e.push);
    }
  }
  if (targets.empty()) return;
  const std::string body = UserListLine(users);
  for (const Push& p : targets) p(body);
}

void ServerPresence::PutUserList(TRdaParamList& params, const std::vector<PresentUser>& users) {
  TRdaDataSet list;
  list.AddField("UserName", ftString, kUserNameSize);
  list.AddField("Status", ftInteger, 0);
  list.AddField("ClientId", ftInteger, 0);
  list.Open();
  for (const PresentUser& u : users)
    list.AppendRecord({Variant(u.userName), Variant(u.status), Variant(u.clientId)});
  TRdaParamItem* item = params.FindParam("~UserList");
  if (item == nullptr) item = &params.CreateParam(ftDataSet, "~UserList", ptInput);
  SetAsDataSet(*item, list);
}

std::string ServerPresence::UserListLine(const std::vector<PresentUser>& users) {
  TRdaParamList params;
  PutUserList(params, users);
  TRdaStringLine line;
  line.SetToken(tkCodedParamList);
  line.SetMsgId(0);
  line.AddField(int32_t{miContacts});
  line.AddField(params.ToText(false));
  line.AddField(0);
  return line.Compose();
}

}  // namespace rda
