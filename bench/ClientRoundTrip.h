// The small exchange the client benchmarks time: a coded parameter list that
// wants its reply, the same list each way.
#pragma once

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "connection/RdaClientSocket.h"
#include "messaging/RdaParamList.h"

namespace rda::bench {

// The list both ends of the small exchange carry.
inline const TRdaParamList& SmallList() {
  static const auto list = [] {
    auto l = std::make_unique<TRdaParamList>();
    l->CreateParam(ftString, "R", ptInput).SetAsString("ok");
    return l;
  }();
  return *list;
}

// Opens `s` (its settings made by the caller), times one small exchange per
// iteration, checking each answer, and closes it.
inline void ClientRoundTrips(benchmark::State& state, TRdaClientSocket& s) {
  s.OnDisconnect = [] {};
  s.OpenAndWait();
  if (!s.Active()) {
    state.SkipWithError("no connection");
    return;
  }
  const std::string expected = SmallList().ToText(true);
  for (auto _ : state) {
    if (s.SendCodedParamList(1, &SmallList(), true) != expected || s.PendingReplies() != 0) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  s.CloseAndWait();
}

}  // namespace rda::bench
