// TRdaClientCore: the lists the server keeps the client up to date with (contacts,
// users logged in, waiting instant messages) and the metadata cache. All of them
// arrive as datasets in the dataset stream format.
#include <filesystem>
#include <system_error>

#include "base/Exception.h"
#include "base/Text.h"
#include "connection/RdaClientCore.h"
#include "memdata/RdaParamBridge.h"

namespace rda {

namespace {

constexpr int kContactSize = 35;
constexpr char kContactsItem[] = "~Contacts";
constexpr char kUserListItem[] = "~UserList";
constexpr char kWaitingMailItem[] = "~WaitingMail";

// Disables a dataset's controls for the life of the guard.
class ControlsOff {
 public:
  explicit ControlsOff(TDataSet& ds) : ds_(ds) { ds_.DisableControls(); }
  ~ControlsOff() { ds_.EnableControls(); }
  ControlsOff(const ControlsOff&) = delete;
  ControlsOff& operator=(const ControlsOff&) = delete;

 private:
  TDataSet& ds_;
};

// Deletes the records whose field equals value (the connection's own user in a
// user list).
void DeleteWhere(TRdaDataSet& ds, std::string_view field, const std::string& value) {
  TField* f = ds.FindField(field);
  if (f == nullptr || !ds.Active()) return;
  ds.First();
  while (!ds.Eof()) {
    if (f->AsString() == value) {
      ds.Delete();
    } else {
      ds.Next();
    }
  }
  ds.First();
}

}  // namespace

void TRdaClientCore::DoInstantLists(TRdaParamList& params, bool waiting) {
  if (!contacts_) {
    contacts_ = std::make_unique<TRdaDataSet>();
    contacts_->AddField("Contact", ftString, kContactSize);
    contacts_->Open();
    TRdaIndex& index = contacts_->Indexes().Add();
    index.SetName("Contact");
    index.SetFields("Contact");
    index.SetOptions({ioCaseInsensitive});
    contacts_->SetIndexName("Contact");
  }
  if (const TRdaParamItem* item = params.FindParam(kContactsItem)) {
    const std::string text = item->AsString();
    ControlsOff off(*contacts_);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string_view line = std::string_view(text).substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      contacts_->AppendRecord({Variant(std::string(line))});
      start = end + 1;
    }
    params.DeleteParam(kContactsItem);
  }
  if (const TRdaParamItem* item = params.FindParam(kUserListItem)) {
    std::unique_ptr<TRdaDataSet> list = AsDataSet(*item);
    params.DeleteParam(kUserListItem);
    if (list) {
      if (userList_) {
        ControlsOff off(*userList_);
        userList_->EmptyDataSet();
        userList_->AppendFrom(*list);
      } else {
        userList_ = std::move(list);
      }
      ControlsOff off(*userList_);
      DeleteWhere(*userList_, "UserName", settings_.UserName);
    }
  }
  if (!waiting) return;
  if (const TRdaParamItem* item = params.FindParam(kWaitingMailItem)) {
    std::unique_ptr<TRdaDataSet> mail = AsDataSet(*item);
    params.DeleteParam(kWaitingMailItem);
    if (mail) waitingMail_ = std::move(mail);
    bool deleteMessages = false;
    if (events_.OnInstantMessagingWaiting && waitingMail_)
      events_.OnInstantMessagingWaiting(*waitingMail_, deleteMessages);
    if (deleteMessages) SendCodedParamList(miDeleteWaitingMessages, nullptr, false);
  }
}

void TRdaClientCore::DoUserStatus(const TRdaParamList& params) {
  if (!userList_ || !userList_->Active() || params.Count() == 0) return;
  const TRdaParamItem& status = params.Items(0);
  TField* name = userList_->FindField("UserName");
  TField* field = userList_->FindField("Status");
  if (name == nullptr || field == nullptr) return;
  ControlsOff off(*userList_);
  const TBookmark kept = userList_->Bookmark();
  for (userList_->First(); !userList_->Eof(); userList_->Next()) {
    if (name->AsString() != status.Name()) continue;
    userList_->Edit();
    field->SetAsInteger(status.AsInteger());
    userList_->Post();
    break;
  }
  if (!kept.empty() && userList_->BookmarkValid(kept)) userList_->GotoBookmark(kept);
}

TRdaDataSet& TRdaClientCore::GetCachedMetaData(std::string_view name) {
  if (metaCache_.empty()) throw Exception("MetaData Not Cached!");
  for (auto& [entry, dataset] : metaCache_)
    if (SameTextAscii(entry, name)) return *dataset;
  throw Exception(std::string(name) + " not found in cache");
}

void TRdaClientCore::StartMetaDataCache() {
  if (settings_.ClientType != ctNonBlocking || transportMode_ != tmDirectTcp || !Active()) return;
  const TServerMetaCacheOptions options = settings_.CacheMetaDataOptions;
  if (options == smNoCache) return;
  if (options == smLoadFromFile && !settings_.CacheMetaDataFileName.empty()) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(settings_.CacheMetaDataFileName, ec)) {
      TRdaDataSet cache;
      cache.LoadFromFile(settings_.CacheMetaDataFileName);
      SetMetaDataCache(cache);
      return;
    }
    pendingCacheFile_ = settings_.CacheMetaDataFileName;
  }
  SendServerUtilityRequest(suMetaDataCache, "");
}

void TRdaClientCore::DoMetaDataCache(const TRdaParamList& params) {
  if (params.Count() == 0) return;
  std::unique_ptr<TRdaDataSet> cache = AsDataSet(params.Items(0));
  if (!cache) return;
  if (!pendingCacheFile_.empty()) {
    const std::string file = std::exchange(pendingCacheFile_, std::string());
    cache->SaveToFile(file);
  }
  SetMetaDataCache(*cache);
}

void TRdaClientCore::SetMetaDataCache(TRdaDataSet& cache) {
  // Everything is read before the old cache goes: a cache that does not read
  // leaves the one held.
  std::vector<std::pair<std::string, std::unique_ptr<TRdaDataSet>>> entries;
  if (cache.FieldCount() < 2) throw Exception("The metadata cache needs a name and a dataset column");
  for (cache.First(); !cache.Eof(); cache.Next()) {
    std::unique_ptr<TRdaDataSet> dataset = TextToDataSet(cache.Fields()[1].AsString());
    if (!dataset) dataset = std::make_unique<TRdaDataSet>();
    entries.emplace_back(cache.Fields()[0].AsString(), std::move(dataset));
  }
  metaCache_ = std::move(entries);
}

}  // namespace rda
