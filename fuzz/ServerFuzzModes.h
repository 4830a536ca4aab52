// The first input byte of the server's fuzz targets chooses the transforms:
// bits 0-1: 0 none, 1 the +4 cipher, 2 DES, 3 none; bit 2: zlib.
#pragma once

#include <cstdint>

#include "messaging/RdaBodyTransforms.h"
#include "server/ServerSession.h"

namespace rda::fuzz {

inline SessionSettings SettingsForMode(uint8_t mode) {
  SessionSettings s;
  s.encryption = (mode & 3) == 1 ? etRdaEncrypt : (mode & 3) == 2 ? etDESEncrypt : etNoEncryption;
  s.key = "fuzzkey";
  s.zlib = (mode & 4) != 0;
  return s;
}

// A client's transforms for the same settings; encryption only when
// withCompression is false.
inline void ConfigureLike(TRdaBodyTransforms& t, const SessionSettings& s, bool withCompression) {
  if (s.encryption == etDESEncrypt) t.SetDESKey(s.key);
  else t.SetEncryption(s.encryption);
  if (withCompression && s.zlib) t.SetCompression(acRdaZLib);
}

}  // namespace rda::fuzz
