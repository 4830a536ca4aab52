// The wire vocabulary's codecs: frames and the stateless session header, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "messaging/RdaWire.h"

namespace rda {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(Wire, FrameIsTheLittleEndianLengthThenTheBody) {
  EXPECT_EQ(Framed("abc"), Bytes({3, 0, 0, 0}) + "abc");
  EXPECT_EQ(Framed(""), Bytes({0, 0, 0, 0}));
  std::string out = "x";
  AppendFrame(out, std::string(300, 'z'));
  EXPECT_EQ(out.substr(0, 5), "x" + Bytes({0x2C, 0x01, 0, 0}));
  EXPECT_EQ(out.size(), 305u);

  EXPECT_EQ(FrameLengthAt(Bytes({0x2C, 0x01, 0, 0, 9})), 300);
  EXPECT_EQ(FrameLengthAt(kBlockingPrefix), kMarkerBlocking);
  EXPECT_EQ(FrameLengthAt(Bytes({0xFD, 0xFF, 0xFF, 0xFF})), kMarkerShortForm);
  EXPECT_FALSE(FrameLengthAt(Bytes({1, 0, 0})));

  EXPECT_TRUE(IsFrameLength(0));
  EXPECT_TRUE(IsFrameLength(104857600));
  EXPECT_FALSE(IsFrameLength(104857601));
  EXPECT_FALSE(IsFrameLength(kMarkerBlocking));
}

TEST(Wire, SessionHeaderFormsHaveTheirBytes) {
  EXPECT_EQ(SessionIdHeader(0x01020304), Bytes({7, 0, 0, 4, 3, 2, 1}));
  // User name and password cut to 15 and 10 characters, each field zero-filled.
  const std::string login = LoginHeader("ABCDEFGHIJKLMNOPQ", "0123456789XY");
  EXPECT_EQ(login, Bytes({34, 0, 1, 0, 0, 0, 0, 15}) + "ABCDEFGHIJKLMNO" + Bytes({10}) + "0123456789");
  EXPECT_EQ(LoginHeader("ann", ""), Bytes({34, 0, 1, 0, 0, 0, 0, 3}) + "ann" + std::string(12, '\0') +
                                        Bytes({0}) + std::string(10, '\0'));
}

TEST(Wire, SessionHeaderReadsBackOnlyInItsExactForms) {
  const auto id = ReadSessionHeader(SessionIdHeader(-5) + "message");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->Kind, shSessionId);
  EXPECT_EQ(id->SessionId, -5);
  EXPECT_EQ(id->Size(), kSessionIdFormSize);

  const auto login = ReadSessionHeader(LoginHeader("ABCDEFGHIJKLMNOPQ", "pw") + "message");
  ASSERT_TRUE(login);
  EXPECT_EQ(login->Kind, shLogin);
  EXPECT_EQ(login->UserName, "ABCDEFGHIJKLMNO");
  EXPECT_EQ(login->Password, "pw");
  EXPECT_EQ(login->Size(), kLoginFormSize);

  std::string userTooLong = LoginHeader("ann", "pw");
  userTooLong[7] = 16;
  std::string passwordTooLong = LoginHeader("ann", "pw");
  passwordTooLong[23] = 11;
  std::string loginWithId = LoginHeader("ann", "pw");
  loginWithId[3] = 1;
  for (const std::string& bad :
       {userTooLong, passwordTooLong, loginWithId, LoginHeader("ann", "pw").substr(0, 33),
        SessionIdHeader(1).substr(0, 6), Bytes({7, 0, 1, 0, 0, 0, 0}), Bytes({8, 0, 0, 0, 0, 0, 0}),
        Bytes({34, 0, 0, 0, 0, 0, 0}) + std::string(27, '\0')})
    EXPECT_FALSE(ReadSessionHeader(bad)) << bad.size();
}

}  // namespace
}  // namespace rda
