// The XML reader: what real files contain is read, and every kind of malformed document is
// refused with what and where.

#include <gtest/gtest.h>

#include <cmath>

#include "plist/plist.h"

namespace {

std::string wrap(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         body + "\n</plist>\n";
}

plist::Value readOk(const std::string& document) {
  auto value = plist::readXml(document);
  EXPECT_TRUE(value.has_value()) << value.error().describe() << "\n" << document;
  return value ? *value : plist::Value();
}

// Expects an error containing `what` at the offset of the first occurrence of `marker`.
void expectErrorAt(const std::string& document, const std::string& what, const std::string& marker) {
  const auto value = plist::readXml(document);
  ASSERT_FALSE(value.has_value()) << "accepted: " << document;
  EXPECT_NE(value.error().message.find(what), std::string::npos) << value.error().message;
  const std::size_t expected = document.find(marker);
  ASSERT_NE(expected, std::string::npos) << marker;
  EXPECT_EQ(value.error().offset, expected) << value.error().message;
}

}  // namespace

TEST(XmlReader, ReadsEveryKindAsWritten) {
  const plist::Value value = readOk(wrap(
      "<dict>\n"
      "  <key>s</key><string>a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos; &#233;&#x1F600;</string>\n"
      "  <key>cdata</key><string><![CDATA[<not a tag> & more]]></string>\n"
      "  <key>commented</key><string>be<!-- hidden -->fore</string>\n"
      "  <key>crlf</key><string>one\r\ntwo\rthree</string>\n"
      "  <key>neg</key><integer>-9223372036854775808</integer>\n"
      "  <key>max</key><integer> 18446744073709551615 </integer>\n"
      "  <key>hex</key><integer>0x1F</integer>\n"
      "  <key>r</key><real>-1.5e3</real>\n"
      "  <key>inf</key><real>+infinity</real>\n"
      "  <key>t</key><true/>\n"
      "  <key>f</key><false></false>\n"
      "  <key>d</key><date>2001-01-02T00:00:01Z</date>\n"
      "  <key>year</key><date>2000Z</date>\n"
      "  <key>data</key><data>\n    AAEC\n    /w==\n  </data>\n"
      "  <key>empty</key><dict/>\n"
      "  <key>list</key><array><string/><array/></array>\n"
      "  <key>uid</key><dict><key>CF$UID</key><integer>12</integer></dict>\n"
      "</dict>"));
  const plist::Dictionary& d = *value.asDictionary();
  EXPECT_EQ(*d.get("s")->asString(), "a <b> & \"c\" 'd' \xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(*d.get("cdata")->asString(), "<not a tag> & more");
  EXPECT_EQ(*d.get("commented")->asString(), "before");
  EXPECT_EQ(*d.get("crlf")->asString(), "one\ntwo\nthree");
  EXPECT_EQ(*d.get("neg"), plist::Value(INT64_MIN));
  EXPECT_EQ(*d.get("max"), plist::Value(plist::Integer::fromUnsigned(UINT64_MAX)));
  EXPECT_EQ(*d.get("hex"), plist::Value(31));
  EXPECT_EQ(*d.get("r"), plist::Value(-1500.0));
  EXPECT_EQ(*d.get("inf"), plist::Value(HUGE_VAL));
  EXPECT_EQ(*d.get("t"), plist::Value(true));
  EXPECT_EQ(*d.get("f"), plist::Value(false));
  EXPECT_EQ(*d.get("d"), plist::Value(plist::Date{86401}));
  EXPECT_EQ(*d.get("year"), plist::Value(plist::Date{-366 * 86400.0}));
  EXPECT_EQ(*d.get("data"), plist::Value(plist::Data(std::string("\x00\x01\x02\xFF", 4))));
  EXPECT_EQ(*d.get("empty"), plist::Value(plist::Dictionary()));
  EXPECT_EQ(*d.get("list"), plist::Value(plist::Array{"", plist::Array()}));
  EXPECT_EQ(*d.get("uid"), plist::Value(plist::Uid{12}));

  std::vector<std::string> keys;
  for (const auto& [key, v] : d) keys.push_back(key);
  EXPECT_EQ(keys.front(), "s");
  EXPECT_EQ(keys.back(), "uid");
}

TEST(XmlReader, AcceptsByteOrderMarksAndUtf16) {
  EXPECT_EQ(readOk("\xEF\xBB\xBF<plist><integer>1</integer></plist>"), plist::Value(1));
  const std::string ascii = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><string>\xC3\xA9</string></plist>";
  // The same document in UTF-16LE with a byte-order mark (é is U+00E9).
  std::string utf16 = "\xFF\xFE";
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (ascii.compare(i, 2, "\xC3\xA9") == 0) {
      utf16 += std::string("\xE9\x00", 2);
      ++i;
    } else {
      utf16 += ascii[i];
      utf16 += '\0';
    }
  }
  EXPECT_EQ(readOk(utf16), plist::Value("\xC3\xA9"));
  EXPECT_EQ(readOk("<string>bare root</string>"), plist::Value("bare root"));
}

TEST(XmlReader, StructuralFaults) {
  expectErrorAt(wrap("<dict><key>a</key><string>x</string>"), "does not close <dict>", "</plist>");
  expectErrorAt(wrap("<array><integer>1</string></array>"), "</string> does not close <integer>", "</string>");
  expectErrorAt(wrap("<dict><key>a</key><widget/></dict>"), "unknown element <widget>", "<widget");
  expectErrorAt(wrap("<dict>stray<key>a</key><true/></dict>"), "unexpected text inside <dict>", "stray");
  expectErrorAt(wrap("<dict><key>lonely</key></dict>"), "key \"lonely\" has no value", "<key>");
  expectErrorAt(wrap("<dict><string>x</string></dict>"), "expected <key>", "<string>");
  expectErrorAt(wrap("<array><key>a</key></array>"), "<key> outside a dictionary", "<key>");
  expectErrorAt(wrap("<string>a<b>bold</b></string>"), "unexpected element inside <string>", "<b>");
  expectErrorAt(wrap("<true>yes</true>"), "<true> must be empty", "<true>");
  expectErrorAt(wrap("<integer>1</integer><integer>2</integer>"), "more than one value", "<integer>2");
  expectErrorAt("<plist><true/></plist><false/>", "content after the root element", "<false/>");
  expectErrorAt("<plist version=\"1.0\"></plist>", "empty <plist>", "<plist");
  expectErrorAt(wrap("<plist><true/></plist>"), "nested <plist>", "<plist><true/>");
  expectErrorAt("<plist><string>unterminated", "unterminated <string>", "<string>");
  expectErrorAt(wrap("<string>x</string><!-- open"), "unterminated comment", "<!-- open");
  expectErrorAt(wrap("<string a=b>x</string>"), "malformed attribute", "b>x");
  expectErrorAt("<plist>\n<?xml version=\"1.0\"?><true/></plist>", "XML declaration not at the start", "<?xml");
  expectErrorAt(wrap("<string>a ]]> b</string>"), "\"]]>\" in character data", "]]>");
}

TEST(XmlReader, EntityAndEncodingFaults) {
  expectErrorAt(wrap("<string>&nbsp;</string>"), "unknown entity &nbsp;", "&nbsp;");
  expectErrorAt(wrap("<string>&#0;</string>"), "invalid character reference", "&#0;");
  expectErrorAt(wrap("<string>&#xD800;</string>"), "invalid character reference", "&#xD800;");
  expectErrorAt(wrap("<string>&#x110000;</string>"), "invalid character reference", "&#x110000;");
  expectErrorAt(wrap("<string>&amp</string>"), "malformed entity reference", "&amp<");
  expectErrorAt(wrap("<string>bad \xC3\x28 byte</string>"), "invalid UTF-8", "\xC3\x28");
  expectErrorAt(wrap("<string>overlong \xC0\xAF</string>"), "invalid UTF-8", "\xC0\xAF");
  expectErrorAt(wrap("<string>surrogate \xED\xA0\x80</string>"), "invalid UTF-8", "\xED\xA0\x80");
  expectErrorAt(wrap("<string>bell \x07</string>"), "character not allowed in XML", "\x07");
  expectErrorAt("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><true/></plist>", "unsupported encoding",
                "<?xml");
}

TEST(XmlReader, RefusesEntityDefinitions) {
  // Internal subsets could define entities that expand without bound; none are needed.
  const std::string laughs =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>\n"
      "<plist><string>&b;</string></plist>";
  expectErrorAt(laughs, "internal subset", "[<!ENTITY");
}

TEST(XmlReader, ScalarFaults) {
  expectErrorAt(wrap("<integer>18446744073709551616</integer>"), "integer out of range", "18446744073709551616");
  expectErrorAt(wrap("<integer>-9223372036854775809</integer>"), "integer out of range", "-9223372036854775809");
  expectErrorAt(wrap("<integer>12abc</integer>"), "malformed integer", "12abc");
  expectErrorAt(wrap("<integer></integer>"), "malformed integer", "</integer>");
  expectErrorAt(wrap("<real>1.5.2</real>"), "malformed real", "1.5.2");
  expectErrorAt(wrap("<real>1e99999</real>"), "real out of range", "1e99999");
  expectErrorAt(wrap("<date>2021-02-29T00:00:00Z</date>"), "invalid date", "2021-02-29");
  expectErrorAt(wrap("<date>2021-01-01T24:00:00Z</date>"), "invalid date", "2021-01-01T24");
  expectErrorAt(wrap("<date>2021-01-01 00:00:00</date>"), "malformed date", "2021-01-01 ");
  expectErrorAt(wrap("<data>AAE*</data>"), "invalid base64", "*");
  expectErrorAt(wrap("<data>AAECA</data>"), "invalid base64", "A</data>");
  expectErrorAt(wrap("<data>AA==AAAA</data>"), "invalid base64", "AAAA<");
  EXPECT_EQ(readOk(wrap("<date>2024-02-29T23:59:59Z</date>")),
            plist::Value(plist::Date{(8459.0 + 1) * 86400 - 1}));
}

TEST(XmlReader, NestingLimit) {
  auto nested = [](int depth) {
    std::string document = "<plist>";
    for (int i = 0; i < depth; ++i) document += "<array>";
    document += "<true/>";
    for (int i = 0; i < depth; ++i) document += "</array>";
    return document + "</plist>";
  };
  EXPECT_TRUE(plist::readXml(nested(plist::kMaxDepth)).has_value());
  const std::string tooDeep = nested(plist::kMaxDepth + 1);
  const auto refused = plist::readXml(tooDeep);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().message.find("nesting deeper than 512"), std::string::npos);
  EXPECT_EQ(refused.error().offset, 7u + 7u * plist::kMaxDepth);
  EXPECT_FALSE(plist::readXml(nested(200000)).has_value());
}

TEST(XmlReader, EveryTruncationIsAnError) {
  const std::string document = plist::writeXml(plist::Dictionary{
      {"a", plist::Array{1, 2.5, "x&y"}}, {"b", plist::Data("bytes")}, {"c", plist::Date{0}}, {"d", true}});
  ASSERT_TRUE(plist::readXml(document).has_value());
  // Cutting the document anywhere before its last element closes must fail.
  const std::size_t lastClose = document.rfind("</plist>");
  for (std::size_t length = 0; length < lastClose + 8; ++length)
    EXPECT_FALSE(plist::readXml(document.substr(0, length)).has_value()) << length;
}
