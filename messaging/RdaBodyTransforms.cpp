#include "messaging/RdaBodyTransforms.h"

#include "base/Exception.h"
#include "messaging/RdaZLib.h"

namespace rda {
namespace {

// The +4 cipher shifts every byte; unsigned arithmetic wraps modulo 256.
void AddToEveryByte(std::string& body, unsigned char delta) {
  for (char& c : body) c = static_cast<char>(static_cast<unsigned char>(c) + delta);
}

constexpr unsigned char kRdaEncryptShift = 4;

}  // namespace

void TRdaBodyTransforms::SetEncryption(TRdaEncryption value) {
  if (value == encryption_) return;
  encryption_ = activeEncryption_ = value;
  if (value == etDESEncrypt) {
    const std::string text = !encryptKeyIn_.empty() ? encryptKeyIn_ : encryptKeyOut_;
    BuildDESKey(text);
    encryptKeyIn_ = encryptKeyOut_ = text;
  }
}

void TRdaBodyTransforms::SetEncryptKeyIn(const std::string& value) {
  SetEncryptKey(encryptKeyIn_, encryptKeyOut_, value);
}

void TRdaBodyTransforms::SetEncryptKeyOut(const std::string& value) {
  SetEncryptKey(encryptKeyOut_, encryptKeyIn_, value);
}

void TRdaBodyTransforms::SetEncryptKey(std::string& target, std::string& other,
                                       const std::string& value) {
  if (value == target) return;
  target = value;
  if (encryption_ == etDESEncrypt) {
    BuildDESKey(value);
    other = value;
  }
}

void TRdaBodyTransforms::SetDESKey(const std::string& keyText) {
  if (encryption_ != etDESEncrypt) encryption_ = activeEncryption_ = etDESEncrypt;
  encryptKeyIn_ = encryptKeyOut_ = keyText;
  BuildDESKey(keyText);
}

void TRdaBodyTransforms::BuildDESKey(const std::string& keyText) {
  if (keyText.empty())
    desKey_.reset();
  else
    desKey_.emplace(keyText);
}

const TRdaDESKey& TRdaBodyTransforms::DESKey() const {
  if (!desKey_) throw Exception("DES key not set");
  return *desKey_;
}

void TRdaBodyTransforms::SetCompression(TRdaCompression value) {
  // The value is kept even when refused, as the component always did; a
  // message sent with it then fails with its own error.
  compression_ = value;
  if (value == acRdaCompress)
    throw Exception("Lzh compression only supported Rda Custom Compression\rUse RdaZLib!");
}

void TRdaBodyTransforms::Encrypt(std::string& body) {
  switch (activeEncryption_) {
    case etRdaEncrypt:
      AddToEveryByte(body, kRdaEncryptShift);
      break;
    case etUserDefined:
      if (!OnEncrypt)
        throw EUserDefinedEncComp(
            "The Application is set for UserDefined Encryption, but there is no code assigned "
            "to the OnEncrypt event handler.");
      OnEncrypt(body);
      break;
    case etDESEncrypt:
      body = DESEncryptBody(DESKey(), body);
      break;
    case etNoEncryption:
    case etAESEncrypt:
      break;
  }
}

void TRdaBodyTransforms::Decrypt(std::string& body) {
  switch (activeEncryption_) {
    case etRdaEncrypt:
      AddToEveryByte(body, static_cast<unsigned char>(256 - kRdaEncryptShift));
      break;
    case etUserDefined:
      if (!OnDecrypt)
        throw EUserDefinedEncComp(
            "You have selected UserDefined Encryption, but you have not assinged the OnDecrypt "
            "event handler.");
      OnDecrypt(body);
      break;
    case etDESEncrypt:
      body = DESDecryptBody(DESKey(), body);
      break;
    case etNoEncryption:
    case etAESEncrypt:
      break;
  }
}

std::string TRdaBodyTransforms::PackMessage(std::string body) {
  const auto amount = static_cast<int64_t>(body.size());
  bytesOutTotal_ += amount;
  if (OnBytesOutEvent) OnBytesOutEvent(body, amount, bytesOutTotal_);

  switch (compression_) {
    case acUserDefined:
      if (!OnCompress)
        throw EUserDefinedEncComp(
            "The Application is set for UserDefined Compression, but there is no code assigned "
            "to the OnCompress event handler");
      OnCompress(body);
      break;
    case acRdaZLib:
      body = ZLibCompress(body);
      break;
    case acRdaCompress:
      // Reachable only through a copy of settings that bypassed SetCompression.
      throw Exception(
          "Use RdaZLib Compression. LZH compression must be implemetned as userdefined");
    case acNoCompression:
      break;
  }

  if (StatelessStep) StatelessStep(body, true);
  if (OnStatelessPacketEvent) OnStatelessPacketEvent(body, true);

  Encrypt(body);
  return body;
}

std::string TRdaBodyTransforms::UnpackMessage(std::string body) {
  const auto amount = static_cast<int64_t>(body.size());
  bytesInTotal_ += amount;
  if (OnBytesInEvent) OnBytesInEvent(body, amount, bytesInTotal_);

  if (StatelessStep) StatelessStep(body, false);
  if (OnStatelessPacketEvent) OnStatelessPacketEvent(body, false);

  Decrypt(body);

  switch (compression_) {
    case acUserDefined:
      if (!OnDecompress)
        throw EUserDefinedEncComp(
            "The Application is set for UserDefined Compression, but there is no code assigned "
            "to the OnDecompress event handler.");
      OnDecompress(body);
      break;
    case acRdaZLib:
      body = ZLibDecompress(body);
      break;
    case acRdaCompress:  // nothing to undo: such a body could never have been sent
    case acNoCompression:
      break;
  }
  return body;
}

}  // namespace rda
