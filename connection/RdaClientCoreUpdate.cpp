// TRdaClientCore: what a server sends to be written on the client's machine. A new
// program (token 39 announces it, token 38 brings it), the patcher program (server
// information, code 15), and files in segments (the coded parameter list
// miFileSegment). The core decides; the driver's TRdaClientFiles writes
// (RdaClientFiles.h).
#include <algorithm>
#include <chrono>

#include "base/ScopeGuard.h"
#include "connection/RdaClientCore.h"

namespace rda {

namespace {

constexpr char kUpdateCaption[] = "Program Update In Progress . . . ";
constexpr char kPreparingUpdate[] = "The Server is preparing the update ...";
constexpr char kReceivingUpdate[] = "Receiving update ...";
constexpr char kNoUpdate[] = "No Update received";
constexpr char kNoPatcher[] = "Patcher.exe not found";
constexpr char kNeedPatcher[] = "NeedPatcher";

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

void CheckSegmentName(const std::string& name) {
  const auto refuse = [&](const char* why) {
    throw ERdaProtocolError("The file segment \"" + name + "\" was not written: " + why);
  };
  if (name.empty()) refuse("it has no LocalFileName");
  const bool drive = name.size() >= 2 && name[1] == ':' &&
                     ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  if (IsSeparator(name[0]) || drive) refuse("its LocalFileName is an absolute path");
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (name.compare(start, end - start, "..") == 0)
      refuse("its LocalFileName climbs out of the program's folder");
    start = end + 1;
  }
}

TRdaClientFiles& TRdaClientCore::Files() {
  TRdaClientFiles* files = driver_.ClientFiles();
  if (files == nullptr) throw Exception("This connection cannot write the files a server sends");
  return *files;
}

// While PatchFile is set and the patcher is not there, every login asks for it. The
// item stays once it is in the list.
void TRdaClientCore::PutNeedPatcher() {
  if (settings_.PatchFile.empty()) return;
  TRdaClientFiles* files = driver_.ClientFiles();
  if (files != nullptr && files->PatcherPresent()) return;
  TRdaParamItem* item = loginParams_.FindParam(kNeedPatcher);
  if (item == nullptr) {
    item = &loginParams_.Add();
    item->SetName(kNeedPatcher);
  }
  item->SetIsNull(true);
}

void TRdaClientCore::DoUpdateStart() {
  updateInProgress_ = true;
  updateStart_ = clock_.Now();
  updateView_ = TRdaUpdateProgress{kUpdateCaption, kPreparingUpdate, 0, 100};
  driver_.UserInterface().ClientUpdateStarted();
  settings_.ProgressBar = true;
}

void TRdaClientCore::MessageSizeKnown(int64_t size) {
  expectedBytes_ = size;
  if (!updateInProgress_) return;
  updateView_.Position = 0;
  updateView_.Max = size;
  updateView_.Label = kReceivingUpdate;
  driver_.UserInterface().ClientUpdateProgress(updateView_);
}

// One step of the update window: the time the update has taken in its caption (minutes
// and seconds, or seconds alone while under a minute; hours are not shown), what the
// bar showed before under it, and the bar at `received`.
void TRdaClientCore::UpdateProgress(int64_t received) {
  const int64_t elapsed =
      std::chrono::duration_cast<std::chrono::seconds>(clock_.Now() - updateStart_).count();
  const int64_t minutes = elapsed / 60 % 60;
  const int64_t seconds = elapsed % 60;
  std::string caption = "Update of " + driver_.ProgramFileName() + " in progress . . . ";
  if (minutes != 0) caption += std::to_string(minutes) + " Min ";
  updateView_.Caption = caption + std::to_string(seconds) + " Secs";
  updateView_.Label = " Received " + std::to_string(updateView_.Position) + " of " +
                      std::to_string(updateView_.Max) + " bytes";
  updateView_.Position = received;
  driver_.UserInterface().ClientUpdateProgress(updateView_);
}

void TRdaClientCore::DoUpdateFile(const TRdaComponentMessage& m) {
  updateInProgress_ = false;
  driver_.UserInterface().ClientUpdateEnded();
  EndReplyWait(true);
  TScopeGuard progressOff([this] { settings_.ProgressBar = false; });
  // An update without bytes would leave no program to start: it is refused in both
  // forms, as an update that did not come.
  const std::string& update = m.Fields[0];
  if (m.FieldCount < 1 || update.empty()) throw Exception(kNoUpdate);
  if (settings_.PatchFile.empty()) {
    Files().StartRestart(update);
    EndApplication();
    return;
  }
  TRdaClientFiles& files = Files();
  if (!files.PatcherPresent()) throw Exception(kNoPatcher);
  std::vector<std::string> lines = files.PreparePatch(update, settings_.PatchFile);
  bool handled = false;
  if (events_.OnAutoClientUpgrade) events_.OnAutoClientUpgrade(update, lines, handled);
  files.WriteScript(lines, !handled);
  if (!handled) EndApplication();
}

void TRdaClientCore::DoPatcher(const TRdaParamList& params) {
  const std::string patcher = params.ParamByName("Patcher").AsString();
  if (patcher.empty()) throw Exception("The patcher program the server sent is empty; it was not written");
  Files().SavePatcher(patcher);
}

void TRdaClientCore::DoFileSegment(const TRdaParamList& params) {
  const std::string name = params.ParamByName("LocalFileName").AsString();
  CheckSegmentName(name);
  const std::string data = params.ParamByName("Data").AsString();
  const TRdaParamItem* sizeItem = params.FindParam("FileSize");
  const int64_t fileSize = sizeItem != nullptr ? sizeItem->AsLargeint() : 0;
  const TRdaParamItem* finishedItem = params.FindParam("Finished");
  const bool finished = finishedItem != nullptr && finishedItem->AsBoolean();

  const auto find = [&] {
    return std::find_if(fileSegments_.begin(), fileSegments_.end(),
                        [&](const auto& entry) { return entry.first == name; });
  };
  auto it = find();
  if (it == fileSegments_.end()) {
    fileSegments_.emplace_back(name, Files().CreateSegmentFile(name));
    it = std::prev(fileSegments_.end());
  }
  const auto size = static_cast<int64_t>(data.size());
  const int64_t before = it->second->Size();
  if (events_.OnFileSegmentArrive) {
    events_.OnFileSegmentArrive(name, size, before + size, fileSize);
    it = find();  // the handler may have ended the connection, and the transfer with it
    if (it == fileSegments_.end()) return;
  }
  try {
    it->second->Append(data);
    if (!finished) return;
    it->second->Finish();
  } catch (...) {
    fileSegments_.erase(it);  // nothing of a file that failed stays behind
    throw;
  }
  fileSegments_.erase(it);
  if (events_.OnFileSegmentArrive) events_.OnFileSegmentArrive(name, -1, -1, -1);
}

void TRdaClientCore::AbandonTransfers() {
  // A file is sent over one connection: what did not finish on it never will.
  fileSegments_.clear();
  if (!updateInProgress_) return;
  updateInProgress_ = false;
  settings_.ProgressBar = false;
  driver_.UserInterface().ClientUpdateEnded();
}

}  // namespace rda
