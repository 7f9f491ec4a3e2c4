// Writers: values they cannot represent are refused with a reason (never a damaged file),
// shared and repeated parts are written compactly, and the output is read back equal.

#include <gtest/gtest.h>

#include "canonical_dump.h"
#include "plist/plist.h"

namespace {

void expectRefused(const plist::Value& value, plist::Format format, const std::string& what) {
  const auto bytes = plist::write(value, format);
  ASSERT_FALSE(bytes.has_value()) << "written as " << plist::formatName(format);
  EXPECT_NE(bytes.error().message.find(what), std::string::npos) << bytes.error().message;
  const std::string unchecked = format == plist::Format::Binary ? plist::writeBinary(value) : plist::writeXml(value);
  EXPECT_TRUE(unchecked.empty());
}

plist::Value nested(int depth) {
  plist::Value value = 1;
  for (int i = 0; i < depth; ++i) value = plist::Array{value};
  return value;
}

}  // namespace

TEST(Writers, RefuseTextThatIsNotUtf8) {
  for (const std::string bad : {"\xFF", "a\xC3", "\xED\xA0\x80", "\xC0\x80"}) {
    expectRefused(plist::Value(bad), plist::Format::Binary, "not valid UTF-8");
    expectRefused(plist::Value(bad), plist::Format::Xml, "not valid UTF-8");
    expectRefused(plist::Dictionary{{bad, 1}}, plist::Format::Binary, "not valid UTF-8");
    expectRefused(plist::Dictionary{{bad, 1}}, plist::Format::Xml, "not valid UTF-8");
  }
}

TEST(Writers, ControlCharactersGoToBinaryOnly) {
  const plist::Value value = plist::Dictionary{{"k", std::string("nul\0esc\x1b", 8)}};
  expectRefused(value, plist::Format::Xml, "control character");
  expectRefused(plist::Value("\xEF\xBF\xBE"), plist::Format::Xml, "noncharacter");
  const auto read = plist::readBinary(plist::writeBinary(value));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, value);
}

TEST(Writers, DatesOutsideFourDigitYearsAreRefusedInXmlOnly) {
  const double yearOne = -63113904000.0, yearTenThousand = 252423993600.0;
  EXPECT_TRUE(plist::write(plist::Date{yearOne}, plist::Format::Xml).has_value());
  EXPECT_TRUE(plist::write(plist::Date{yearTenThousand - 1}, plist::Format::Xml).has_value());
  expectRefused(plist::Date{yearOne - 1}, plist::Format::Xml, "date outside");
  expectRefused(plist::Date{yearTenThousand}, plist::Format::Xml, "date outside");
  expectRefused(plist::Date{std::nan("")}, plist::Format::Xml, "date outside");
  const auto far = plist::readBinary(plist::writeBinary(plist::Date{1e18}));
  ASSERT_TRUE(far.has_value());
  EXPECT_EQ(*far, plist::Value(plist::Date{1e18}));
}

TEST(Writers, XmlDatesAreExactToTheSecond) {
  for (const double seconds : {0.0, -1.0, 86399.0, 730943999.0, -31622400.0, -63113904000.0, 252423993599.0}) {
    const auto read = plist::readXml(plist::writeXml(plist::Date{seconds}));
    ASSERT_TRUE(read.has_value()) << seconds;
    EXPECT_EQ(*read, plist::Value(plist::Date{seconds})) << plist::writeXml(plist::Date{seconds});
  }
  // Fractions are dropped by rounding down, as the XML form has whole seconds only.
  EXPECT_EQ(*plist::readXml(plist::writeXml(plist::Date{-0.5})), plist::Value(plist::Date{-1.0}));
}

TEST(Writers, NestingLimitAppliesToWritingToo) {
  for (const plist::Format format : {plist::Format::Binary, plist::Format::Xml}) {
    const auto deepest = plist::write(nested(plist::kMaxDepth), format);
    ASSERT_TRUE(deepest.has_value());
    EXPECT_TRUE(plist::read(*deepest).has_value());
    expectRefused(nested(plist::kMaxDepth + 1), format, "nesting deeper than 512");
  }
}

TEST(Writers, BinaryStoresRepeatedAndSharedPartsOnce) {
  plist::Dictionary column;
  for (int i = 0; i < 200; ++i) column.set("column" + std::to_string(i), "a fairly long repeated string value");
  const std::size_t single = plist::writeBinary(column).size();

  plist::Array copies;
  for (int i = 0; i < 1000; ++i) copies.push_back(column);  // shares one storage
  const std::string bytes = plist::writeBinary(copies);
  EXPECT_LT(bytes.size(), single + 1000 * 2 + 64);
  const auto read = plist::readBinary(bytes);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, plist::Value(copies));
}

// Each distinct value is one object however far apart its repeats are, and values of different
// kinds stay apart even where their bytes or bits are the same (a string and data, a real and a
// date, -1 and 2^64-1).
TEST(Writers, BinaryStoresEachDistinctValueOnce) {
  plist::Array values;
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 1000; ++i) {
      const std::string text = "value " + std::to_string(i);
      values.push_back(text);
      values.push_back(plist::Data(text));
      values.push_back(i);
      values.push_back(static_cast<double>(i));
      values.push_back(plist::Date{static_cast<double>(i)});
    }
  }
  values.push_back(-1);
  values.push_back(plist::Integer::fromUnsigned(~std::uint64_t{0}));
  const std::string bytes = plist::writeBinary(values);
  std::uint64_t objects = 0;
  for (std::size_t i = bytes.size() - 24; i < bytes.size() - 16; ++i) objects = (objects << 8) | static_cast<unsigned char>(bytes[i]);
  EXPECT_EQ(objects, 1u + 5 * 1000 + 2);
  const auto read = plist::readBinary(bytes);
  ASSERT_TRUE(read.has_value()) << read.error().describe();
  EXPECT_EQ(*read, plist::Value(values));
}

TEST(Writers, DictionaryEditedInPlaceIsWrittenAsItStands) {
  const plist::Dictionary domain{{"TableColumns", plist::Dictionary{{"20", 1}, {"7", 2}}}, {"Other", "x"}};
  plist::Dictionary working = domain;
  plist::Dictionary* columns = working.find("TableColumns")->asDictionary();
  columns->remove("20");
  for (const plist::Format format : {plist::Format::Binary, plist::Format::Xml}) {
    const auto bytes = plist::write(working, format);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*plist::read(*bytes), plist::Value(working));
  }
  columns->set("8", 3);  // the pointer still edits working, and only working
  EXPECT_TRUE(working.get("TableColumns")->asDictionary()->contains("8"));
  EXPECT_EQ(domain.get("TableColumns")->asDictionary()->size(), 2u);
}

TEST(Writers, XmlRefusesSharedPartsThatExpandBeyondReason) {
  // Each level holds its child twice: 2^40 values once spelled out.
  plist::Value value = "leaf";
  for (int i = 0; i < 40; ++i) value = plist::Array{value, value};
  EXPECT_TRUE(plist::write(value, plist::Format::Binary).has_value());
  expectRefused(value, plist::Format::Xml, "shared parts");
}

TEST(Writers, CarriageReturnsSurviveXml) {
  const plist::Value value = plist::Dictionary{{"a\rb", "line\r\nend\r"}};
  const auto read = plist::readXml(plist::writeXml(value));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(plisttest::dump(*read), plisttest::dump(value));
}
