// Provider broadcasts on the client: the settings a dataset keeps for them
// (TProviderBroadCastOptions, its ProviderBroadCast property) and the state of
// its caches. The dataset's side is in RdaBroadcast.cpp; RdaClientDataset.h
// says how a broadcast is applied.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "memdata/RdaCustomDataSet.h"

namespace rda {

class TRdaUpdateClientDataSet;

// Stored values, never renumber.
enum TBroadcastAction : uint8_t { baIgnore = 0, baCache = 1, baAuto = 2 };

class TProviderBroadCastOptions {
 public:
  explicit TProviderBroadCastOptions(TRdaUpdateClientDataSet& owner) : owner_(owner) {}

  // [false] Setting it registers or unregisters at once (not while loading).
  bool RegisterForBroadCast() const { return registerForBroadCast_; }
  void SetRegisterForBroadCast(bool value);
  // [""] Sent with the registration; changing it re-registers a registered
  // dataset (unregister, then register).
  const std::string& ProviderFilter() const { return providerFilter_; }
  void SetProviderFilter(std::string value);
  // [baAuto] From baCache to baAuto applies what is cached.
  TBroadcastAction BroadCastAction() const { return broadCastAction_; }
  void SetBroadCastAction(TBroadcastAction value);
  // [true] With an OnProviderBroadCast handler: apply the rows as well.
  bool AutoUpdate() const { return autoUpdate_; }
  void SetAutoUpdate(bool value) { autoUpdate_ = value; }
  // [false] With baAuto: cache while the dataset is not browsing.
  bool CacheBroadcastsWhenEdit() const { return cacheBroadcastsWhenEdit_; }
  void SetCacheBroadcastsWhenEdit(bool value) { cacheBroadcastsWhenEdit_ = value; }
  // [false] Merge a broadcast for the row being edited into the edit instead
  // of caching it.
  bool MergeEditRowBroadcasts() const { return mergeEditRowBroadcasts_; }
  void SetMergeEditRowBroadcasts(bool value) { mergeEditRowBroadcasts_ = value; }
  // [false] After rows arrive with PrimeFields empty: the provider's key fields.
  bool RetrievePrimeKeyFields() const { return retrievePrimeKeyFields_; }
  void SetRetrievePrimeKeyFields(bool value) { retrievePrimeKeyFields_ = value; }

 private:
  TRdaUpdateClientDataSet& owner_;
  bool registerForBroadCast_ = false;
  std::string providerFilter_;
  TBroadcastAction broadCastAction_ = baAuto;
  bool autoUpdate_ = true;
  bool cacheBroadcastsWhenEdit_ = false;
  bool mergeEditRowBroadcasts_ = false;
  bool retrievePrimeKeyFields_ = false;
};

// What a dataset keeps between broadcasts.
struct TRdaBroadcastState {
  // Taken while broadcasts are cached or applied; always before the log lock.
  std::recursive_mutex lock;
  bool registered = false;
  // Broadcast rows kept for later (baCache, or while editing), in arrival
  // order, and the rows for the row being edited.
  std::unique_ptr<TRdaDataSet> cache;
  std::unique_ptr<TRdaDataSet> editRowCache;
  int applying = 0;  // a broadcast is being applied (its own posts are not the user's)
  // The rows of the last provider update that conflicted (Conflicts()).
  std::unique_ptr<TRdaDataSet> conflicts;
};

}  // namespace rda
