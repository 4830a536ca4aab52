// The zlib wrapper against zlib's own tools, and the body transforms of a connection.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaDES.h"
#include "messaging/RdaZLib.h"

namespace rda {
namespace {

std::string ReadFixture(const std::string& name) {
  std::ifstream in(std::string(RDA_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Row-like text: numbers, names, dates, tabs and line ends.
std::string RowText(int rows) {
  std::string s;
  for (int i = 0; i < rows; ++i)
    s += std::to_string(1000 + i) + "\tCustomer " + std::to_string(i * 7919 % 1000) +
         "\t2024-0" + std::to_string(1 + i % 9) + "-1" + std::to_string(i % 10) + "\t" +
         std::to_string(i * 31 % 9973) + ".25\r\n";
  return s;
}

template <typename E>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "(nothing raised)";
}

// --- zlib ------------------------------------------------------------------------------

TEST(ZLib, InflatesAStreamMadeByZlibItself) {
  // zlib_rows.txt.z was written by Python's zlib module (zlib) at level 9.
  EXPECT_EQ(ZLibDecompress(ReadFixture("zlib_rows.txt.z")), ReadFixture("zlib_rows.txt"));
}

TEST(ZLib, DeflateIsLevelOneZlibThatZlibInflates) {
  for (const std::string& plain : {std::string(), RowText(2000)}) {
    const std::string packed = ZLibCompress(plain);
    // compress2 is zlib's one-shot deflate with a 15-bit window, memory level 8 and the
    // default strategy; at level 1 it must give exactly our bytes.
    std::vector<Bytef> expected(compressBound(plain.size()));
    uLongf expectedSize = expected.size();
    ASSERT_EQ(compress2(expected.data(), &expectedSize,
                        reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 1),
              Z_OK);
    EXPECT_EQ(packed, std::string(expected.begin(), expected.begin() + expectedSize));

    std::string back(plain.size() + 1, '\0');
    uLongf backSize = back.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(back.data()), &backSize,
                         reinterpret_cast<const Bytef*>(packed.data()), packed.size()),
              Z_OK);
    EXPECT_EQ(back.substr(0, backSize), plain);
    EXPECT_EQ(ZLibDecompress(packed), plain);
  }
}

TEST(ZLib, BrokenStreamsRaiseZlibsText) {
  const std::string good = ZLibCompress(RowText(200));
  std::string corrupt = good;
  corrupt[corrupt.size() / 2] ^= 0x55;
  std::string badCheck = good;
  badCheck.back() ^= 1;
  struct Case {
    const char* name;
    std::string data;
    const char* message;
  };
  const Case cases[] = {
      {"empty", "", "Decompression error: buffer error"},
      {"truncated", good.substr(0, good.size() - 5), "Decompression error: buffer error"},
      {"header only", good.substr(0, 2), "Decompression error: buffer error"},
      {"not zlib", "plain text body", "Decompression error: data error"},
      {"corrupt deflate data", corrupt, "Decompression error: data error"},
      {"wrong Adler-32", badCheck, "Decompression error: data error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MessageOf<Exception>([&] { ZLibDecompress(c.data); }), c.message);
  }
}

TEST(ZLib, OutputIsCappedAtTheLimit) {
  const std::string zeros = ZLibCompress(std::string(5000, '\0'));
  EXPECT_EQ(ZLibDecompress(zeros, 5000).size(), 5000u);
  EXPECT_EQ(MessageOf<Exception>([&] { ZLibDecompress(zeros, 4999); }),
            "Decompression error: inflated data exceeds 4999 bytes");

  // The default is the frame limit: a body of a few hundred KiB that would inflate past
  // 100 MiB is refused.
  const std::string bomb = ZLibCompress(std::string(kZLibMaxInflatedSize + 1, 'A'));
  ASSERT_LT(bomb.size(), 1u << 20);
  EXPECT_EQ(MessageOf<Exception>([&] { ZLibDecompress(bomb); }),
            "Decompression error: inflated data exceeds 104857600 bytes");
}

TEST(ZLib, BytesAfterTheStreamEndAreIgnored) {
  const std::string plain = RowText(10);
  EXPECT_EQ(ZLibDecompress(ZLibCompress(plain) + std::string(7, '\0')), plain);
}

// --- The transforms --------------------------------------------------------------------

TEST(BodyTransforms, RdaEncryptAddsFourToEveryByte) {
  TRdaBodyTransforms t;
  t.SetEncryption(etRdaEncrypt);
  EXPECT_EQ(t.PackMessage("abc"), "efg");
  EXPECT_EQ(t.PackMessage("\xFD"), "\x01");
  EXPECT_EQ(t.UnpackMessage("efg"), "abc");
  EXPECT_EQ(t.UnpackMessage("\x01"), "\xFD");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(t.UnpackMessage(t.PackMessage(all)), all);
}

TEST(BodyTransforms, BodiesPassUnchangedWithoutEncryptionAndWithAES) {
  for (TRdaEncryption e : {etNoEncryption, etAESEncrypt}) {
    TRdaBodyTransforms t;
    t.SetEncryption(e);
    const std::string body("body\0\xFF", 6);
    EXPECT_EQ(t.PackMessage(body), body);
    EXPECT_EQ(t.UnpackMessage(body), body);
  }
}

TEST(BodyTransforms, ZLibThenRdaEncryptOnTheWire) {
  TRdaBodyTransforms t;
  t.SetCompression(acRdaZLib);
  t.SetEncryption(etRdaEncrypt);
  const std::string body = RowText(50);
  const std::string wire = t.PackMessage(body);
  std::string expected = ZLibCompress(body);
  for (char& c : expected) c = static_cast<char>(static_cast<unsigned char>(c) + 4);
  EXPECT_EQ(wire, expected);
  EXPECT_EQ(t.UnpackMessage(wire), body);
}

TEST(BodyTransforms, StepsRunInTheirOrderOnTheBodyOfTheStepBefore) {
  TRdaBodyTransforms t;
  t.SetCompression(acUserDefined);
  t.SetEncryption(etUserDefined);
  std::vector<std::string> log;
  auto step = [&log](const char* name, const char* mark) {
    return [&log, name, mark](std::string& s) {
      log.push_back(std::string(name) + ":" + s);
      s += mark;
    };
  };
  t.OnBytesOutEvent = [&](const std::string& d, int64_t n, int64_t total) {
    log.push_back("out:" + d + ":" + std::to_string(n) + "/" + std::to_string(total));
  };
  t.OnBytesInEvent = [&](const std::string& d, int64_t n, int64_t total) {
    log.push_back("in:" + d + ":" + std::to_string(n) + "/" + std::to_string(total));
  };
  t.OnCompress = step("compress", "C");
  t.OnEncrypt = step("encrypt", "E");
  t.OnDecrypt = step("decrypt", "D");
  t.OnDecompress = step("decompress", "U");
  t.StatelessStep = [&](std::string& s, bool packup) {
    log.push_back(std::string(packup ? "header+:" : "header-:") + s);
    s = packup ? "H" + s : s.substr(1);
  };
  t.OnStatelessPacketEvent = [&](std::string& s, bool packup) {
    log.push_back(std::string(packup ? "stateless+:" : "stateless-:") + s);
  };

  EXPECT_EQ(t.PackMessage("ab"), "HabCE");
  EXPECT_EQ(t.UnpackMessage("Hxyz"), "xyzDU");
  const std::vector<std::string> expected = {
      "out:ab:2/2",      "compress:ab",    "header+:abC", "stateless+:HabC", "encrypt:HabC",
      "in:Hxyz:4/4",     "header-:Hxyz",   "stateless-:xyz", "decrypt:xyz", "decompress:xyzD"};
  EXPECT_EQ(log, expected);
}

TEST(BodyTransforms, UserDefinedStepsWithoutHandlersRaise) {
  struct Case {
    TRdaEncryption encryption;
    TRdaCompression compression;
    bool pack;
    const char* message;
  };
  const Case cases[] = {
      {etNoEncryption, acUserDefined, true,
       "The Application is set for UserDefined Compression, but there is no code assigned to "
       "the OnCompress event handler"},
      {etNoEncryption, acUserDefined, false,
       "The Application is set for UserDefined Compression, but there is no code assigned to "
       "the OnDecompress event handler."},
      {etUserDefined, acNoCompression, true,
       "The Application is set for UserDefined Encryption, but there is no code assigned to "
       "the OnEncrypt event handler."},
      {etUserDefined, acNoCompression, false,
       "You have selected UserDefined Encryption, but you have not assinged the OnDecrypt "
       "event handler."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    TRdaBodyTransforms t;
    t.SetEncryption(c.encryption);
    t.SetCompression(c.compression);
    EXPECT_EQ(MessageOf<EUserDefinedEncComp>([&] {
                c.pack ? t.PackMessage("x") : t.UnpackMessage("x");
              }),
              c.message);
  }
}

TEST(BodyTransforms, LzhCompressionIsRefusedWhenSetAndWhenSending) {
  TRdaBodyTransforms t;
  t.SetCompression(acRdaZLib);
  EXPECT_EQ(MessageOf<Exception>([&] { t.SetCompression(acRdaCompress); }),
            "Lzh compression only supported Rda Custom Compression\rUse RdaZLib!");
  EXPECT_EQ(t.Compression(), acRdaCompress);
  EXPECT_EQ(MessageOf<Exception>([&] { t.PackMessage("body"); }),
            "Use RdaZLib Compression. LZH compression must be implemetned as userdefined");
  EXPECT_EQ(t.UnpackMessage("body"), "body");  // nothing to undo on the way in
}

TEST(BodyTransforms, ByteTotalsCountComposedAndReceivedBodies) {
  TRdaBodyTransforms t;
  t.SetCompression(acRdaZLib);
  t.SetEncryption(etRdaEncrypt);
  const std::string body = RowText(20);
  const std::string wire = t.PackMessage(body);
  t.PackMessage(body);
  t.UnpackMessage(wire);
  EXPECT_EQ(t.BytesOutTotal(), static_cast<int64_t>(2 * body.size()));
  EXPECT_EQ(t.BytesInTotal(), static_cast<int64_t>(wire.size()));
  t.ResetByteTotals();
  EXPECT_EQ(t.BytesOutTotal(), 0);
  EXPECT_EQ(t.BytesInTotal(), 0);
}

TEST(BodyTransforms, DESBodiesUseTheKeySchedule) {
  TRdaBodyTransforms t;
  t.SetEncryption(etDESEncrypt);
  EXPECT_FALSE(t.HasDESKey());
  EXPECT_EQ(MessageOf<Exception>([&] { t.PackMessage("abc"); }), "DES key not set");
  EXPECT_EQ(MessageOf<Exception>([&] { t.UnpackMessage(std::string(12, '\0')); }),
            "DES key not set");

  t.SetEncryptKeyIn("secret");
  const std::string wire = t.PackMessage("123456789");
  EXPECT_EQ(wire, DESEncryptBody(TRdaDESKey("secret"), "123456789"));
  EXPECT_EQ(t.UnpackMessage(wire), "123456789");
  EXPECT_EQ(t.UnpackMessage(t.PackMessage("")), "");
  EXPECT_EQ(MessageOf<EDESError>([&] { t.UnpackMessage(wire.substr(0, wire.size() - 1)); }),
            "Invalid buffer size for decryption");
}

TEST(BodyTransforms, KeyTextsFollowTheirRules) {
  const std::string probe = "probe body";
  auto desWith = [&](const std::string& key) { return DESEncryptBody(TRdaDESKey(key), probe); };

  // Outside DES mode a key text is only stored.
  TRdaBodyTransforms t;
  t.SetEncryptKeyIn("inkey");
  EXPECT_FALSE(t.HasDESKey());
  EXPECT_EQ(t.EncryptKeyOut(), "");
  // Selecting DES builds from EncryptKeyIn and copies it into EncryptKeyOut.
  t.SetEncryption(etDESEncrypt);
  EXPECT_EQ(t.EncryptKeyOut(), "inkey");
  EXPECT_EQ(t.PackMessage(probe), desWith("inkey"));
  // In DES mode a new text is used at once and copied into the other property.
  t.SetEncryptKeyOut("outkey");
  EXPECT_EQ(t.EncryptKeyIn(), "outkey");
  EXPECT_EQ(t.PackMessage(probe), desWith("outkey"));

  // With EncryptKeyIn empty, selecting DES takes EncryptKeyOut.
  TRdaBodyTransforms u;
  u.SetEncryptKeyOut("only out");
  u.SetEncryption(etDESEncrypt);
  EXPECT_EQ(u.EncryptKeyIn(), "only out");
  EXPECT_EQ(u.PackMessage(probe), desWith("only out"));

  // Clearing the key in DES mode leaves no key behind, rather than the old schedule.
  u.SetEncryptKeyIn("");
  EXPECT_EQ(u.EncryptKeyOut(), "");
  EXPECT_EQ(MessageOf<Exception>([&] { u.PackMessage(probe); }), "DES key not set");

  // SetDESKey selects DES and keeps both texts in step with the schedule.
  TRdaBodyTransforms v;
  v.SetDESKey("direct");
  EXPECT_EQ(v.Encryption(), etDESEncrypt);
  EXPECT_EQ(v.ActiveEncryption(), etDESEncrypt);
  EXPECT_EQ(v.EncryptKeyIn(), "direct");
  EXPECT_EQ(v.EncryptKeyOut(), "direct");
  EXPECT_EQ(v.PackMessage(probe), desWith("direct"));
}

TEST(BodyTransforms, ActiveEncryptionGovernsTheBodies) {
  TRdaBodyTransforms t;
  t.SetEncryption(etRdaEncrypt);
  EXPECT_EQ(t.ActiveEncryption(), etRdaEncrypt);
  t.SetActiveEncryption(etNoEncryption);
  EXPECT_EQ(t.PackMessage("abc"), "abc");
  t.RefreshActiveEncryption();
  EXPECT_EQ(t.PackMessage("abc"), "efg");
}

}  // namespace
}  // namespace rda
