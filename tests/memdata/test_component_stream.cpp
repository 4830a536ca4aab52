// Streamed field properties: the exact bytes of a streamed field, every value
// kind a form stream may hold, and broken streams changing nothing.
#include <gtest/gtest.h>

#include <string>

#include "base/Exception.h"
#include "memdata/RdaComponentStream.h"
#include "tests/memdata/ByteFixtures.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using test::MessageOf;
using test::People;

using test::Bytes;
std::string Short(std::string_view text) { return Bytes({static_cast<int>(text.size())}) + std::string(text); }

TEST(ComponentStream, AStreamedFieldHasTheFormsBytesAndAppliesItsDisplayProperties) {
  auto source = People({{1, "Ada"}});
  TField& name = source->FieldByName("Name");
  name.SetDisplayLabel("Full name");
  name.SetDisplayWidth(30);
  name.SetVisible(false);
  name.SetAlignment(taRightJustify);
  const std::string bytes = WriteFieldComponent(name, "TStringField", "PeopleName");
  EXPECT_EQ(bytes, "TPF0" + Short("TStringField") + Short("PeopleName") +
                       Short("FieldName") + Bytes({6}) + Short("Name") +
                       Short("DisplayLabel") + Bytes({6}) + Short("Full name") +
                       Short("DisplayWidth") + Bytes({4, 30, 0, 0, 0}) +
                       Short("Visible") + Bytes({8}) +
                       Short("Alignment") + Bytes({7}) + Short("taRightJustify") + Bytes({0, 0}));

  auto target = People({{1, "Ada"}});
  // A field the dataset does not have is passed over.
  TRdaDataSet other;
  other.AddField("Elsewhere", ftInteger, 0);
  other.Open();
  const std::string stream =
      WriteFieldComponent(other.FieldByName("Elsewhere"), "TIntegerField", "X") + bytes;
  EXPECT_EQ(ApplyFieldProperties(*target, stream), 1);
  const TField& got = target->FieldByName("Name");
  EXPECT_EQ(got.DisplayLabel(), "Full name");
  EXPECT_EQ(got.DisplayWidth(), 30);
  EXPECT_FALSE(got.Visible());
  EXPECT_EQ(got.Alignment(), taRightJustify);
  EXPECT_EQ(ApplyFieldProperties(*target, ""), 0);
}

// A field as a form streams it, with properties of every kind around the
// ones applied, a child component and an inherited prefix.
std::string RichStream() {
  const std::string wide = Bytes({2, 0, 0, 0, 0xAC, 0x20, 'x', 0});  // U+20AC, "x"
  return "TPF0" + Bytes({0xF3, 2, 7}) + Short("TFloatField") + Short("PeopleScore") +
         Short("Tag") + Bytes({19, 1, 2, 3, 4, 5, 6, 7, 8}) +
         Short("Ratio") + Bytes({5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}) +
         Short("Scale") + Bytes({15, 0, 0, 0x80, 0x3F}) + Short("Price") + Bytes({16, 1, 0, 0, 0, 0, 0, 0, 0}) +
         Short("When") + Bytes({17, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}) + Short("Exact") + Bytes({21, 0, 0, 0, 0, 0, 0, 0, 0}) +
         Short("Options") + Bytes({11}) + Short("foA") + Short("foB") + Bytes({0}) +
         Short("Data") + Bytes({10, 3, 0, 0, 0, 1, 2, 3}) +
         Short("Items") + Bytes({1, 2, 5, 6}) + Short("x") + Bytes({13, 0}) +
         Short("Lines") + Bytes({14, 2, 0, 1}) + Short("Caption") + Bytes({6}) + Short("c") + Bytes({0, 1, 0, 0}) +
         Short("Hint") + Bytes({18}) + wide + Short("Note") + Bytes({20, 2, 0, 0, 0, 0xC3, 0xA9}) +
         Short("FieldName") + Bytes({12, 5, 0, 0, 0}) + "Score" +
         Short("DisplayLabel") + Bytes({20, 6, 0, 0, 0}) + "Sc\xC3\xB4re" +
         Short("EditMask") + Bytes({6}) + Short("999") + Short("Visible") + Bytes({9}) +
         Bytes({0}) +
         // a child component, then the end of the children
         Short("TLabel") + Short("Child") + Short("Caption") + Bytes({6}) + Short("c") + Bytes({0, 0}) +
         Bytes({0});
}

TEST(ComponentStream, EveryValueKindIsReadAndOnlyDisplayPropertiesApply) {
  const std::vector<TRdaStreamedComponent> components = ReadComponentStream(RichStream());
  ASSERT_EQ(components.size(), 1u);
  EXPECT_EQ(components[0].ClassName, "TFloatField");
  EXPECT_EQ(components[0].Find("Tag")->Value, Variant(int64_t{0x0807060504030201}));
  EXPECT_EQ(components[0].Find("Scale")->Value, Variant(1.0));
  EXPECT_EQ(components[0].Find("Options")->Value, Variant("foA,foB"));
  EXPECT_EQ(components[0].Find("Hint")->Value, Variant("\x80x"));
  EXPECT_EQ(components[0].Find("Note")->Value, Variant("\xE9"));
  auto ds = People({{1, "Ada"}});
  EXPECT_EQ(ApplyFieldProperties(*ds, RichStream()), 1);
  const TField& score = ds->FieldByName("Score");
  EXPECT_EQ(score.DisplayLabel(), "Sc\xF4re");
  EXPECT_EQ(score.EditMask, "999");
  EXPECT_TRUE(score.Visible());
}

TEST(ComponentStream, ABrokenStreamFailsAndChangesNoField) {
  const std::string good = RichStream();
  for (size_t cut = 1; cut < good.size(); ++cut) {
    auto ds = People({{1, "Ada"}});
    const std::string error = MessageOf<EReadError>([&] { ApplyFieldProperties(*ds, good.substr(0, cut)); });
    EXPECT_TRUE(error == "Stream read error" || error == "Invalid property value") << cut << ": " << error;
    EXPECT_EQ(ds->FieldByName("Score").DisplayLabel(), "Score") << cut;
  }
  struct Case {
    std::string bytes;
    std::string error;
  } cases[] = {
      {"TPX0" + Short("T") + Short("N") + Bytes({0, 0}), "Invalid property value"},
      {"TPF0" + Short("T") + Short("N") + Short("P") + Bytes({22}) + Bytes({0, 0}), "Invalid property value"},
      {"TPF0" + Short("T") + Short("N") + Short("P") + Bytes({12, 0xFF, 0xFF, 0xFF, 0x7F}), "Stream read error"},
      // Nesting deeper than any form: refused, not followed down the stack.
      {"TPF0" + Short("T") + Short("N") + Short("P") + std::string(100000, '\x01'), "Invalid property value"},
  };
  for (const Case& c : cases) {
    auto ds = People({{1, "Ada"}});
    EXPECT_EQ(MessageOf<EReadError>([&] { ApplyFieldProperties(*ds, c.bytes); }), c.error);
  }
}

}  // namespace
}  // namespace rda
