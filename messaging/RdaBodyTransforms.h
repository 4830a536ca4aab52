// The transforms a connection applies to every message body between the composed
// string line and its frame: byte counting, compression and encryption on the way out,
// and their reverse on the way in.
//
//   PackMessage (outgoing)                     UnpackMessage (incoming)
//   1. count bytes, OnBytesOutEvent            1. count bytes, OnBytesInEvent
//   2. compress by Compression()               2. stateless step (take the header off)
//   3. stateless step (put the header on)      3. decrypt by ActiveEncryption()
//   4. encrypt by ActiveEncryption()           4. decompress by Compression()
//
// So on the way out a session header is encrypted together with the body, while on the
// way in it arrives in clear in front of the encrypted body.
//
// No I/O happens here: the owner (the connection) hands bodies in and frames what comes
// out. Single-threaded, like the connection that owns it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "messaging/RdaDES.h"

namespace rda {

// How message bodies are encrypted; the ordinals are the stored property values
// (never renumber).
enum TRdaEncryption : uint8_t {
  etNoEncryption = 0,  // body unchanged
  etRdaEncrypt = 1,    // every byte + 4 (mod 256) out, - 4 in; no key
  etUserDefined = 2,   // OnEncrypt / OnDecrypt change the body
  etAESEncrypt = 3,    // accepted as a setting; the body is not changed
  etDESEncrypt = 4,    // DES, ECB, with a length prefix (RdaDES.h)
};

// How message bodies are compressed; the ordinals are the stored property values
// (never renumber).
enum TRdaCompression : uint8_t {
  acNoCompression = 0,  // body unchanged
  acRdaCompress = 1,    // not available: cannot be set, and a message sent with it fails
  acUserDefined = 2,    // OnCompress / OnDecompress change the body
  acRdaZLib = 3,        // the whole body is one zlib stream (RdaZLib.h)
};

class TRdaBodyTransforms {
 public:
  // A handler that replaces the whole body `s` with its result.
  using TRdaClientDataStringEvent = std::function<void(std::string& s)>;
  // Per message: the body as composed or received, its length, and the running total.
  using TRdaBytesEvent = std::function<void(const std::string& data, int64_t amount, int64_t total)>;
  // The body at the stateless step, which the handler may change; packup is true on the
  // way out and false on the way in.
  using TRdaStatelessPacketEvent = std::function<void(std::string& theData, bool packup)>;

  // --- Encryption ----------------------------------------------------------------------

  TRdaEncryption Encryption() const { return encryption_; }
  // When the value changes: stores it and ActiveEncryption. On becoming etDESEncrypt,
  // builds the key schedule from EncryptKeyIn when it is not empty, else from
  // EncryptKeyOut, and copies that text into the other key property; with both empty no
  // schedule exists and DES bodies raise "DES key not set" until a key is set.
  void SetEncryption(TRdaEncryption value);

  // The encryption actually applied to bodies: a copy of Encryption that the connection
  // refreshes on connect and on disconnect (RefreshActiveEncryption) and that a copy of
  // a connection takes over as it is (SetActiveEncryption).
  TRdaEncryption ActiveEncryption() const { return activeEncryption_; }
  void RefreshActiveEncryption() { activeEncryption_ = encryption_; }
  void SetActiveEncryption(TRdaEncryption value) { activeEncryption_ = value; }

  // The DES key texts. Setting one to a different text stores it; while Encryption is
  // etDESEncrypt it also builds the key schedule from it and copies it into the other
  // property, so both always hold the same key in DES mode. Outside DES mode the text
  // is only stored (the schedule is built when DES is selected).
  const std::string& EncryptKeyIn() const { return encryptKeyIn_; }
  const std::string& EncryptKeyOut() const { return encryptKeyOut_; }
  void SetEncryptKeyIn(const std::string& value);
  void SetEncryptKeyOut(const std::string& value);

  // Selects etDESEncrypt (Encryption and ActiveEncryption), stores `keyText` in both key
  // properties and builds the schedule from its first 8 bytes (zero-padded). An empty
  // text removes the schedule, so that bodies raise "DES key not set" instead of
  // travelling under a key that neither key property shows any more.
  void SetDESKey(const std::string& keyText);
  bool HasDESKey() const { return desKey_.has_value(); }

  // --- Compression ---------------------------------------------------------------------

  TRdaCompression Compression() const { return compression_; }
  // Raises rda::Exception "Lzh compression only supported Rda Custom Compression\rUse
  // RdaZLib!" for acRdaCompress after storing it; PackMessage then refuses to send.
  void SetCompression(TRdaCompression value);

  // --- Byte counters ---------------------------------------------------------------------

  // Running totals of the bodies counted by PackMessage / UnpackMessage (before any
  // transform). 64-bit so that a long-lived connection never sees them wrap.
  int64_t BytesOutTotal() const { return bytesOutTotal_; }
  int64_t BytesInTotal() const { return bytesInTotal_; }
  // The connection calls this on connect and on disconnect.
  void ResetByteTotals() { bytesOutTotal_ = bytesInTotal_ = 0; }

  // --- The transforms --------------------------------------------------------------------

  // Outgoing body -> bytes to frame, in the order at the top of this file. Raises:
  //   rda::Exception "Use RdaZLib Compression. LZH compression must be implemetned as
  //     userdefined" (acRdaCompress), "Compression error: ..." (zlib), "DES key not set";
  //   EUserDefinedEncComp when a user-defined step has no handler;
  //   EDESError for a body too large for the DES length field;
  //   whatever StatelessStep and the handlers raise.
  // The byte counter and OnBytesOutEvent have run even when a later step raises.
  std::string PackMessage(std::string body);

  // Received frame content -> body, in the order at the top of this file. Raises the
  // errors of the decrypt and decompress steps ("DES key not set", EDESError
  // "Invalid buffer size for decryption", EReadError "Stream read error" for a DES body
  // shorter than its length field, "Decompression error: ...", EUserDefinedEncComp) and
  // whatever StatelessStep and the handlers raise. The read path turns these into
  // ERdaProtocolError with the same text; this class does not.
  std::string UnpackMessage(std::string body);

  // --- Events (checked before each call) -------------------------------------------------

  TRdaClientDataStringEvent OnEncrypt;
  TRdaClientDataStringEvent OnDecrypt;
  TRdaClientDataStringEvent OnCompress;
  TRdaClientDataStringEvent OnDecompress;
  TRdaBytesEvent OnBytesOutEvent;
  TRdaBytesEvent OnBytesInEvent;
  // Fired at the stateless step in both directions, whether or not a session header is
  // in use, right after StatelessStep.
  TRdaStatelessPacketEvent OnStatelessPacketEvent;

  // The seam for the stateless HTTP session header. The connection installs it and
  // decides inside whether stateless mode is on: with packup = true it is called after
  // compression and before encryption and puts the session header in front of the body;
  // with packup = false it is called before decryption and takes the header off the
  // received body (and raises for a body too short to hold one). Empty = no header.
  std::function<void(std::string& body, bool packup)> StatelessStep;

 private:
  void BuildDESKey(const std::string& keyText);
  void SetEncryptKey(std::string& target, std::string& other, const std::string& value);
  void Encrypt(std::string& body);
  void Decrypt(std::string& body);
  const TRdaDESKey& DESKey() const;

  TRdaEncryption encryption_ = etNoEncryption;
  TRdaEncryption activeEncryption_ = etNoEncryption;
  TRdaCompression compression_ = acNoCompression;
  std::string encryptKeyIn_;
  std::string encryptKeyOut_;
  std::optional<TRdaDESKey> desKey_;  // the schedule; absent until a key is set
  int64_t bytesOutTotal_ = 0;
  int64_t bytesInTotal_ = 0;
};

}  // namespace rda
