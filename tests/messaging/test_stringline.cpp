#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "base/Exception.h"
#include "messaging/RdaStringLine.h"

namespace rda {
namespace {

using namespace std::string_literals;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string I32(int32_t v) {
  std::string s;
  ByteWriter(s).PutI32(v);
  return s;
}

std::string Frame(const std::string& body) { return Framed(body); }

// --- TRdaStringLine --------------------------------------------------------

TEST(StringLine, ComposesTheDocumentedBytes) {
  TRdaStringLine line;
  line.SetToken(15);
  line.SetMsgId(0);
  line.AddField("A");
  line.AddField(42);
  const std::string expected = Bytes({0x0F, 0, 0, 0, 0,                  //
                                      0x00, 1, 0, 0, 0, 2, 0, 0, 0,      // text, start 1, end 2
                                      0x06, 2, 0, 0, 0, 4, 0, 0, 0}) +   // integer, 2..4
                               std::string(27, '\0') + "A42";
  const std::string message = line.Compose();
  EXPECT_EQ(message.size(), 53u);
  EXPECT_EQ(message, expected);
  EXPECT_EQ(line.FieldIndex(), 0);
  EXPECT_TRUE(line.Buffer().empty());
}

TEST(StringLine, ReadingWrapsRoundAfterTheLastField) {
  TRdaStringLine out;
  out.SetToken(15);
  out.SetMsgId(-7);
  out.AddField("A");
  out.AddField(42);
  TRdaStringLine in;
  in.Parse(out.Compose());
  EXPECT_EQ(in.Token(), 15);
  EXPECT_EQ(in.MsgId(), -7);
  EXPECT_EQ(in.NextFieldText(), "A");
  EXPECT_EQ(in.NextFieldInteger(), 42);
  EXPECT_EQ(in.FieldIndex(), 0);
  EXPECT_EQ(in.NextFieldText(), "A");
}

TEST(StringLine, SixthFieldIsRefusedAndTheFirstFiveKept) {
  TRdaStringLine line;
  line.SetToken(3);
  for (int i = 1; i <= 5; ++i) line.AddField(i);
  try {
    line.AddField("six");
    FAIL() << "sixth field accepted";
  } catch (const EStringLineException& e) {
    EXPECT_STREQ(e.what(),
                 "RDASTRINGLINE ERROR: Sending more the MaxFields!  Server & client may need to be "
                 "rebuilt.");
  }
  TRdaStringLine in;
  in.Parse(line.Compose());
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(in.NextFieldInteger(), i);
  EXPECT_EQ(in.NextFieldInteger(), 1);  // wrapped after field 5
}

TEST(StringLine, TokenRangeAndFieldTypesAreChecked) {
  TRdaStringLine line;
  for (int bad : {-1, 71, 255}) {
    try {
      line.SetToken(bad);
      FAIL() << bad;
    } catch (const EStringLineException& e) {
      EXPECT_STREQ(e.what(), "BAD TOKEN VALUE");
    }
  }
  line.SetToken(70);
  EXPECT_EQ(line.Token(), 70);

  line.AddField("kept");
  for (uint8_t bad : {4, 5, 7, 255}) {
    try {
      line.AddRawField(bad, "x");
      FAIL() << int(bad);
    } catch (const EStringLineException& e) {
      EXPECT_STREQ(e.what(), "RDASTRINGLINE ERROR: Bad DataType.");
    }
  }
  EXPECT_EQ(line.FieldIndex(), 1);  // the refused fields left no trace
  EXPECT_EQ(line.Buffer(), "kept");
}

TEST(StringLine, FieldsCarryEveryByteAndEveryKind) {
  const std::string binary = Bytes({0x00, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF, 0x0D, 0x0A});
  TRdaStringLine out;
  out.SetToken(42);
  out.SetMsgId(123456);
  out.AddField(binary);
  out.AddLinesField({"one", "", "three"});
  out.AddStreamField(binary);
  out.AddField(-2147483647 - 1);
  out.AddField("");
  TRdaStringLine in;
  in.Parse(out.Compose());
  EXPECT_EQ(in.NextFieldText(), binary);
  EXPECT_EQ(in.NextFieldText(), "one\r\n\r\nthree\r\n");
  EXPECT_EQ(in.NextFieldStream(), binary);
  EXPECT_EQ(in.NextFieldInteger(), -2147483647 - 1);
  EXPECT_EQ(in.NextFieldText(), "");
  EXPECT_EQ(in.Header()[5 + 2 * 9], '\x03');  // the stream's type code is on the wire
}

TEST(StringLine, LineWithoutFieldsIsTheHeaderAlone) {
  TRdaStringLine line;
  line.SetToken(48);
  line.SetMsgId(9);
  const std::string message = line.Compose();
  ASSERT_EQ(message.size(), TRdaStringLine::kHeaderSize);
  EXPECT_EQ(message, Bytes({48, 9, 0, 0, 0}) + std::string(45, '\0'));
  TRdaStringLine in;
  in.Parse(message);
  EXPECT_EQ(in.NextFieldText(), "");
}

TEST(StringLine, ShortFormKeepsAllButFourBytes) {
  TRdaStringLine in;
  in.Parse(Bytes({0xFD, 0xFF, 0xFF, 0xFF}) + "payload");
  EXPECT_EQ(in.Token(), TRdaStringLine::kShortFormToken);
  EXPECT_EQ(in.Buffer(), "payload");

  in.Parse(Bytes({43, 1, 0, 0}) + "rest");  // token byte 43, shorter than a header
  EXPECT_EQ(in.Token(), 43);
  EXPECT_EQ(in.Buffer(), "rest");
}

TEST(StringLine, MalformedMessagesAreRefused) {
  TRdaStringLine in;
  EXPECT_THROW(in.Parse(std::string(49, '\x01')), EStringLineException);
  EXPECT_THROW(in.Parse(""), EStringLineException);
  EXPECT_THROW(in.Parse(Bytes({0xFD, 0xFF, 0xFF})), EStringLineException);

  // Descriptors that point outside the message or backwards.
  struct Case {
    int32_t start, end;
  };
  for (const Case& c : {Case{1, 5}, Case{-3, 2}, Case{3, 2}, Case{0, 2}, Case{2147483647, 1}}) {
    std::string message = Bytes({1, 0, 0, 0, 0, 0}) + I32(c.start) + I32(c.end) +
                          std::string(36, '\0') + "abc";
    in.Parse(message);
    EXPECT_THROW(in.NextFieldText(), EStringLineException) << c.start << ".." << c.end;
  }
}

TEST(StringLine, FieldCountAndWellFormedness) {
  TRdaStringLine out;
  out.SetToken(tkCodedParamList);
  out.AddField(miDeleteWaitingMessages);
  out.AddField("");
  out.AddField(0);
  const std::string three = out.Compose();
  TRdaStringLine in;
  in.Parse(three);
  EXPECT_EQ(in.FieldCount(), 3);
  in.NextFieldText();
  EXPECT_EQ(in.FieldCount(), 3);  // reading does not change what the header names
  out.SetToken(tkAcknowledge);
  in.Parse(out.Compose());
  EXPECT_EQ(in.FieldCount(), 0);
  in.Parse(Bytes({0xFD, 0xFF, 0xFF, 0xFF}) + "abc");
  EXPECT_EQ(in.FieldCount(), 0);

  struct Case {
    std::string message;
    bool wellFormed;
  } cases[] = {
      {three, true},
      {Bytes({0xFD, 0xFF, 0xFF, 0xFF}), true},
      {Bytes({43, 0, 0, 0}), true},
      {three.substr(0, three.size() - 1), false},          // the last field runs past the end
      {std::string(49, '\0'), false},                      // shorter than a header
      {Bytes({71}) + three.substr(1), false},              // a token above MaxToken
      {Bytes({1, 0, 0, 0, 0, 0}) + I32(2) + I32(1) + std::string(36, '\0') + "abc", false},
      {Bytes({1, 0, 0, 0, 0, 0}) + I32(-1) + I32(2) + std::string(36, '\0') + "abc", false},
      {Bytes({1, 0, 0, 0, 0, 0}) + I32(1) + I32(4) + std::string(36, '\0') + "abc", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TRdaStringLine::IsWellFormed(c.message), c.wellFormed) << c.message.size();
}

TEST(StringLine, IntegerFieldsMustBeDecimal) {
  TRdaStringLine out;
  out.SetToken(1);
  out.AddField(" 12");
  out.AddField("0x1F");
  TRdaStringLine in;
  in.Parse(out.Compose());
  EXPECT_THROW(in.NextFieldInteger(), EConvertError);
  EXPECT_THROW(in.NextFieldInteger(), EConvertError);
}

// --- TRdaMessageStack ------------------------------------------------------

std::vector<std::string> Drain(TRdaMessageStack& stack) {
  std::vector<std::string> out;
  while (stack.HasMessages()) out.push_back(stack.PopMessage());
  return out;
}

TEST(MessageStack, MessageAppearsOnlyWhenComplete) {
  TRdaMessageStack stack;
  const std::string frame = Frame("hello, world");
  stack.Append(frame.substr(0, 7));
  EXPECT_FALSE(stack.HasMessages());
  EXPECT_EQ(stack.Used(), 7u);
  stack.Append(frame.substr(7));
  EXPECT_EQ(Drain(stack), std::vector<std::string>{"hello, world"});
  EXPECT_EQ(stack.Used(), 0u);

  stack.Append(Frame("one") + Frame("") + Frame("three"));
  EXPECT_EQ(Drain(stack), (std::vector<std::string>{"one", "", "three"}));
}

TEST(MessageStack, EverySplitOfAStreamGivesTheSameMessages) {
  std::vector<std::string> bodies = {"a", "", std::string(300, 'x'), Bytes({0xFF, 0xFF, 0xFF, 0xFF}),
                                     std::string(5000, '\0'), "end"};
  std::string stream;
  for (const auto& b : bodies) stream += Frame(b);

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    TRdaMessageStack stack;
    stack.Append(stream.substr(0, cut));
    stack.Append(stream.substr(cut));
    ASSERT_EQ(Drain(stack), bodies) << "split at " << cut;
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    TRdaMessageStack stack;
    std::vector<std::string> got;
    for (size_t pos = 0; pos < stream.size();) {
      const size_t n = std::uniform_int_distribution<size_t>(1, 700)(rng);
      stack.Append(stream.substr(pos, n));
      pos += n;
      for (auto& m : Drain(stack)) got.push_back(std::move(m));
    }
    ASSERT_EQ(got, bodies) << "round " << round;
  }
}

TEST(MessageStack, InvalidBlockSizeTextAndStickiness) {
  struct Case {
    int32_t size;
    const char* text;
  };
  for (const Case& c : {Case{104857601, "Invalid block size (104857601)!"},
                        Case{-5, "Invalid block size (-5)!"}}) {
    TRdaMessageStack stack;
    try {
      stack.Append(Frame("before") + I32(c.size) + "xxxx");
      FAIL() << c.size;
    } catch (const ERdaProtocolError& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
    EXPECT_EQ(Drain(stack), std::vector<std::string>{"before"});  // cut once, not again
    EXPECT_THROW(stack.Append("more"), ERdaProtocolError);
    EXPECT_FALSE(stack.HasMessages());
  }

  TRdaMessageStack stack;
  EXPECT_NO_THROW(stack.Append(I32(104857600) + "start"));  // at the limit: waits for its bytes
  EXPECT_FALSE(stack.HasMessages());
}

TEST(MessageStack, HttpResponsesAreCutAfterTheirHeaders) {
  const std::string response =
      "HTTP/1.1 200 OK\r\nServer: test\r\nContent:\r\n\r\n" + Frame("framed body");
  struct Case {
    uint8_t mode;
    std::string body;
  };
  for (const Case& c : {Case{2, "framed body"}, Case{1, "d body"}}) {
    TRdaMessageStack stack;
    stack.SetTransportMode(c.mode);
    stack.Append(response + response);
    EXPECT_EQ(Drain(stack), (std::vector<std::string>{c.body, c.body})) << int(c.mode);
  }

  // Headers arriving a byte at a time are waited for, not read as a length.
  TRdaMessageStack stack;
  stack.SetTransportMode(2);
  for (char ch : response) stack.Append(std::string_view(&ch, 1));
  EXPECT_EQ(Drain(stack), std::vector<std::string>{"framed body"});

  // In direct TCP mode the same bytes are a bad length.
  TRdaMessageStack tcp;
  EXPECT_THROW(tcp.Append(response), ERdaProtocolError);
}

TEST(MessageStack, MarkedFramesOfOtherSenders) {
  TRdaMessageStack stack;
  // -1: the marker and the length stay in front of what PopMessage loses.
  stack.Append(I32(-1) + Frame("blocking"));
  EXPECT_EQ(Drain(stack), std::vector<std::string>{Frame("blocking")});

  // -1 -2 in front: the -1 is dropped and the -2 frame read; its extent is
  // the length plus the extra length at offset 16 plus 16.
  const std::string minus2 = I32(-2) + I32(4) + std::string(8, '\0') + I32(4) + "body";
  stack.Append(I32(-1) + minus2 + Frame("next"));
  EXPECT_EQ(Drain(stack), (std::vector<std::string>{minus2.substr(4), "next"}));

  // A negative extra length is refused instead of moving the frame backwards.
  TRdaMessageStack bad;
  EXPECT_THROW(bad.Append(I32(-2) + I32(4) + std::string(8, '\0') + I32(-100) + "body"),
               ERdaProtocolError);
}

}  // namespace
}  // namespace rda
