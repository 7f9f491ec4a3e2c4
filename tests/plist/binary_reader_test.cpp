// The binary reader on malformed input: every fault is reported with what and where, and
// nothing crashes, loops or allocates beyond the input's size.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "binary_builder.h"
#include "plist/plist.h"
#include "plist/unicode.h"

using plisttest::BinaryBuilder;
using plisttest::bigEndian;

namespace {

// Expects a read error whose message contains `what`, found at byte `where`.
void expectError(const std::string& file, const std::string& what, std::size_t where) {
  const plist::Result<plist::Value> value = plist::readBinary(file);
  ASSERT_FALSE(value.has_value()) << "expected: " << what;
  EXPECT_NE(value.error().message.find(what), std::string::npos) << value.error().message;
  EXPECT_EQ(value.error().offset, where) << value.error().message;
}

// A valid file with every kind of object, written by this codec.
std::string sampleFile() {
  plist::Dictionary root{
      {"text", "héllo"}, {"ascii", "plain"}, {"int", -7}, {"big", plist::Integer::fromUnsigned(UINT64_MAX)},
      {"real", 0.25},    {"yes", true},      {"when", plist::Date{123.0}}, {"bytes", plist::Data("\x01\x02")},
      {"uid", plist::Uid{3}}, {"list", plist::Array{1, "two", plist::Dictionary{{"k", "v"}}}},
  };
  return plist::writeBinary(root);
}

}  // namespace

TEST(BinaryReaderErrors, EveryTruncationIsAnErrorNeverACrash) {
  const std::string file = sampleFile();
  ASSERT_TRUE(plist::readBinary(file).has_value());
  for (std::size_t length = 0; length < file.size(); ++length) {
    const auto value = plist::readBinary(file.substr(0, length));
    EXPECT_FALSE(value.has_value()) << "prefix of " << length << " bytes was accepted";
  }
}

TEST(BinaryReaderErrors, EverySingleByteCorruptionIsHandled) {
  // Flipping bytes must give a value or an error, never undefined behaviour (run under
  // the sanitizers) or a hang.
  const std::string file = sampleFile();
  for (std::size_t i = 0; i < file.size(); ++i) {
    for (unsigned char replacement : {0x00, 0x0F, 0x7F, 0x80, 0xFF}) {
      std::string corrupt = file;
      corrupt[i] = static_cast<char>(replacement);
      (void)plist::readBinary(corrupt);
    }
  }
}

TEST(BinaryReaderErrors, TrailerFaultsAreReportedAtTheTrailerField) {
  BinaryBuilder builder;
  builder.add(BinaryBuilder::integer8(1));
  // Expects the error at byte `field` of the trailer (the file's last 32 bytes).
  auto expectTrailerError = [](const std::string& file, const std::string& what, std::size_t field) {
    expectError(file, what, file.size() - 32 + field);
  };
  expectTrailerError(builder.finish({.offsetSize = 9}), "offset size", 6);
  expectTrailerError(builder.finish({.referenceSize = 0}), "reference size", 7);
  expectTrailerError(builder.finish({.objectCount = 0}), "no objects", 8);
  expectTrailerError(builder.finish({.top = 1}), "top object 1 is not one of the trailer's 1 objects", 16);
  expectTrailerError(builder.finish({.tableOffset = 4}), "offset table", 24);
  expectTrailerError(builder.finish({.tableOffset = builder.finish().size()}), "offset table", 24);
}

TEST(BinaryReaderErrors, ObjectCountBeyondTheFileIsRefusedWithoutAllocating) {
  BinaryBuilder builder;
  builder.add(BinaryBuilder::integer8(1));
  const std::string huge = builder.finish({.objectCount = std::uint64_t{1} << 40});
  const auto started = std::chrono::steady_clock::now();
  expectError(huge, "breaks the rule that each object has an offset-table entry", huge.size() - 32 + 8);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(BinaryReaderErrors, ReferencesAndOffsetsOutOfRange) {
  BinaryBuilder builder;
  const std::size_t list = builder.add(BinaryBuilder::array({1, 7}));
  builder.add(BinaryBuilder::integer8(1));
  // The second reference (7) sits two bytes into the array object.
  expectError(builder.finish(), "object reference 7 is not one of the trailer's", builder.offsetOf(list) + 2);

  BinaryBuilder badOffset;
  badOffset.add(BinaryBuilder::integer8(1));
  std::string file = badOffset.finish();
  const std::size_t table = file.size() - 32 - 1;
  file[table] = static_cast<char>(0xF0);  // object 0 "starts" past the table
  expectError(file, "offset 240 of object 0 is not between the header and the offset table", table);
}

TEST(BinaryReaderErrors, CyclesAreDetected) {
  BinaryBuilder selfReference;
  const std::size_t list = selfReference.add(BinaryBuilder::array({0}));
  expectError(selfReference.finish(), "cyclic reference to object 0: an object may not contain itself", selfReference.offsetOf(list) + 1);

  // dict { "k": [ dict ] }: the cycle passes through a dictionary value and an array.
  BinaryBuilder indirect;
  indirect.add(BinaryBuilder::dictionary({1}, {2}));
  indirect.add(BinaryBuilder::ascii("k"));
  const std::size_t inner = indirect.add(BinaryBuilder::array({0}));
  expectError(indirect.finish(), "cyclic reference to object 0: an object may not contain itself", indirect.offsetOf(inner) + 1);
}

TEST(BinaryReaderErrors, SharedObjectsAreNotCycles) {
  BinaryBuilder builder;
  builder.add(BinaryBuilder::array({1, 1, 2}));
  builder.add(BinaryBuilder::array({2, 2}));
  builder.add(BinaryBuilder::ascii("x"));
  const auto value = plist::readBinary(builder.finish());
  ASSERT_TRUE(value.has_value()) << value.error().describe();
  const plist::Array& top = *value->asArray();
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0], top[1]);
  EXPECT_EQ(top[2], plist::Value("x"));
}

// A key repeated in a dictionary (as its own string object) keeps its first position and takes
// its last value, in dictionaries scanned linearly and in indexed ones alike.
TEST(BinaryReader, RepeatedKeyKeepsFirstPositionAndLastValue) {
  auto readKeys = [](const std::vector<std::string>& names) {
    BinaryBuilder builder;
    std::vector<std::uint8_t> keys, values;
    for (std::size_t i = 0; i < names.size(); ++i) {
      keys.push_back(static_cast<std::uint8_t>(1 + 2 * i));
      values.push_back(static_cast<std::uint8_t>(2 + 2 * i));
    }
    builder.add(BinaryBuilder::dictionary(keys, values));
    for (std::size_t i = 0; i < names.size(); ++i) {
      builder.add(BinaryBuilder::ascii(names[i]));
      builder.add(BinaryBuilder::integer8(static_cast<std::uint8_t>(i)));
    }
    return plist::readBinary(builder.finish());
  };
  auto describe = [](const plist::Value& value) {
    std::string out;
    for (const auto& [key, item] : *value.asDictionary()) out += key + "=" + item.asInteger()->toString() + " ";
    return out;
  };
  const auto small = readKeys({"a", "b", "a"});
  ASSERT_TRUE(small.has_value()) << small.error().describe();
  EXPECT_EQ(describe(*small), "a=2 b=1 ");

  const auto large = readKeys({"k0", "k1", "k2", "k3", "k4", "k5", "k1", "k6", "k7", "k8", "k9", "k1"});
  ASSERT_TRUE(large.has_value()) << large.error().describe();
  EXPECT_EQ(describe(*large), "k0=0 k1=11 k2=2 k3=3 k4=4 k5=5 k6=7 k7=8 k8=9 k9=10 ");
  plist::Dictionary edited = *large->asDictionary();
  edited.set("k10", 12);  // the first lookup indexes the entries as read
  EXPECT_EQ(edited.get("k1")->asInteger()->toString(), "11");
  EXPECT_EQ(edited.get("k10")->asInteger()->toString(), "12");
}

TEST(BinaryReaderErrors, NestingLimit) {
  // Object i is an array holding object i+1; the last is an integer.
  auto chain = [](std::size_t arrays) {
    BinaryBuilder builder;
    for (std::size_t i = 0; i < arrays; ++i) builder.add("\xA1" + bigEndian(i + 1, 4));
    builder.add(BinaryBuilder::integer8(1));
    return builder.finish({.referenceSize = 4});
  };
  const auto deepest = plist::readBinary(chain(plist::kMaxDepth));
  EXPECT_TRUE(deepest.has_value()) << deepest.error().describe();
  const std::string tooDeep = chain(plist::kMaxDepth + 1);
  expectError(tooDeep, "nesting deeper than 512 levels", 8 + 5 * plist::kMaxDepth);
  expectError(chain(100000), "nesting deeper than 512 levels", 8 + 5 * plist::kMaxDepth);
}

// Strings are checked a word at a time, their last bytes as a word overlapping the ones before.
TEST(BinaryReaderErrors, FirstNonAsciiByteIsFoundAtAnyPlaceInAnyLength) {
  for (std::size_t length = 0; length <= 40; ++length) {
    std::string text(length, 'a');
    EXPECT_FALSE(plist::unicode::findNonAscii(text)) << length;
    for (std::size_t at = 0; at < length; ++at) {
      text[at] = '\xC3';
      EXPECT_EQ(plist::unicode::findNonAscii(text), std::optional<std::size_t>(at)) << length << " " << at;
      if (at + 1 < length) text[at + 1] = '\xA9';
      EXPECT_EQ(plist::unicode::findNonAscii(text), std::optional<std::size_t>(at)) << length << " " << at;
      text.assign(length, 'a');
    }
  }
}

TEST(BinaryReaderErrors, TextEncodingFaults) {
  BinaryBuilder unpaired;
  const std::size_t text = unpaired.add(std::string("\x62\x00\x41\xD8\x00", 5));  // "A", lone high surrogate
  expectError(unpaired.finish(), "unpaired UTF-16 surrogate", unpaired.offsetOf(text) + 3);

  BinaryBuilder lowFirst;
  const std::string reversedPair("\x62\xDC\x00\xD8\x00", 5);
  const std::size_t reversed = lowFirst.add(reversedPair);
  expectError(lowFirst.finish(), "unpaired UTF-16 surrogate", lowFirst.offsetOf(reversed) + 1);

  BinaryBuilder highByte;
  const std::size_t ascii = highByte.add("\x52" "a\xE9");
  expectError(highByte.finish(), "non-ASCII byte in ASCII string", highByte.offsetOf(ascii) + 2);

  BinaryBuilder valid;
  valid.add(std::string("\x62\xD8\x3D\xDE\x00", 5));  // U+1F600 as a surrogate pair
  const auto value = plist::readBinary(valid.finish());
  ASSERT_TRUE(value.has_value()) << value.error().describe();
  EXPECT_EQ(*value->asString(), "\xF0\x9F\x98\x80");
}

TEST(BinaryReaderErrors, UnsupportedAndMalformedObjects) {
  auto single = [](const std::string& object) {
    BinaryBuilder builder;
    builder.add(object);
    return builder.finish();
  };
  expectError(single(std::string("\x00", 1)), "null objects are not supported", 8);
  expectError(single("\xC1\x00"), "sets are not supported", 8);
  expectError(single("\x70"), "unknown object marker 0x70", 8);
  expectError(single("\x15" + std::string(32, '\0')), "unsupported integer size", 8);
  expectError(single("\x14" + bigEndian(1, 8) + bigEndian(0, 8)), "does not fit in 64 bits", 8);
  expectError(single("\x21\x00\x00"), "unsupported real size", 8);
  expectError(single("\x4F\x13" + bigEndian(std::uint64_t{1} << 40, 8)), "truncated data", 8);
  expectError(single("\x4F\x41"), "object length is not an integer", 9);
  expectError(single("\x8F" + std::string(16, '\0')), "UID wider than 64 bits", 8);

  BinaryBuilder numericKey;
  numericKey.add(BinaryBuilder::dictionary({1}, {1}));
  numericKey.add(BinaryBuilder::integer8(4));
  expectError(numericKey.finish(), "dictionary key is not a string", 9);

  // A huge element count must be refused before any allocation for it.
  expectError(single("\xAF\x13" + bigEndian(std::uint64_t{1} << 60, 8)), "truncated array", 8);
  expectError(single("\xDF\x13" + bigEndian(std::uint64_t{1} << 62, 8)), "truncated dictionary", 8);
}

TEST(BinaryReaderErrors, SixteenByteIntegersWithinRangeAreRead) {
  auto single = [](const std::string& object) {
    BinaryBuilder builder;
    builder.add(object);
    return plist::readBinary(builder.finish());
  };
  const auto large = single("\x14" + bigEndian(0, 8) + bigEndian(UINT64_MAX, 8));
  ASSERT_TRUE(large.has_value());
  EXPECT_EQ(*large, plist::Value(plist::Integer::fromUnsigned(UINT64_MAX)));
  const auto negative = single("\x14" + bigEndian(UINT64_MAX, 8) + bigEndian(static_cast<std::uint64_t>(-5), 8));
  ASSERT_TRUE(negative.has_value());
  EXPECT_EQ(*negative, plist::Value(-5));
}

// A file that references one long key from many dictionaries would expand far beyond its
// size if read naively.
TEST(BinaryReaderErrors, KeyExpansionIsBounded) {
  BinaryBuilder builder;
  const std::size_t count = 60000;
  const std::string key(100000, 'k');
  std::string top = "\xAF\x12" + bigEndian(count, 4);
  for (std::size_t i = 0; i < count; ++i) top += bigEndian(1, 4);
  builder.add(top);
  builder.add("\xD1" + bigEndian(2, 4) + bigEndian(3, 4));  // { key: 0 }
  builder.add("\x5F\x12" + bigEndian(key.size(), 4) + key);
  builder.add(BinaryBuilder::integer8(0));
  const std::string file = builder.finish({.referenceSize = 4});
  const auto value = plist::readBinary(file);
  // Sharing makes the single dictionary cheap: it is read once and shared, so this passes.
  ASSERT_TRUE(value.has_value()) << value.error().describe();

  // Distinct dictionaries each holding the long key: refused, not materialised.
  BinaryBuilder distinct;
  std::string list = "\xAF\x12" + bigEndian(count, 4);
  for (std::size_t i = 0; i < count; ++i) list += bigEndian(3 + i, 4);
  distinct.add(list);
  distinct.add("\x5F\x12" + bigEndian(key.size(), 4) + key);
  distinct.add(BinaryBuilder::integer8(0));
  for (std::size_t i = 0; i < count; ++i) distinct.add("\xD1" + bigEndian(1, 4) + bigEndian(2, 4));
  const std::string hostile = distinct.finish({.referenceSize = 4});
  const auto refused = plist::readBinary(hostile);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().message.find("keys expand"), std::string::npos) << refused.error().message;
}

// An object table that points many indices at one container body: each index is a distinct
// object, so a naive reader would expand the body once per index (quadratic in the file).
TEST(BinaryReaderErrors, OverlappingObjectsAreRefused) {
  const std::size_t count = 3000;
  auto arrayOf = [](const std::vector<std::size_t>& references) {
    std::string array = "\xAF\x12" + bigEndian(references.size(), 4);
    for (std::size_t reference : references) array += bigEndian(reference, 4);
    return array;
  };
  BinaryBuilder builder;
  std::vector<std::size_t> inners = {1};
  for (std::size_t i = 0; i + 1 < count; ++i) inners.push_back(3 + i);
  builder.add(arrayOf(inners));                                  // 0: [1, 3, 4, ...]
  const std::size_t inner = builder.add(arrayOf(std::vector<std::size_t>(count, 2)));  // 1: [2, 2, ...]
  builder.add(BinaryBuilder::integer8(7));                       // 2
  for (std::size_t i = 0; i + 1 < count; ++i) builder.alias(inner);  // 3...: object 1 again
  const auto refused = plist::readBinary(builder.finish({.referenceSize = 4}));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message, "objects overlap: the file expands far beyond its size");
  EXPECT_EQ(refused.error().offset, builder.offsetOf(inner));
}

TEST(FormatDetection, ReportsFormatAndRefusesOtherInput) {
  const auto binary = plist::read(sampleFile());
  ASSERT_TRUE(binary.has_value());
  EXPECT_EQ(binary.format(), plist::Format::Binary);

  const auto xml = plist::read("<plist><string>x</string></plist>");
  ASSERT_TRUE(xml.has_value());
  EXPECT_EQ(xml.format(), plist::Format::Xml);

  const auto version = plist::read("bplist01" + std::string(60, '\0'));
  ASSERT_FALSE(version.has_value());
  EXPECT_EQ(version.format(), plist::Format::Binary);
  EXPECT_NE(version.error().message.find("unsupported binary property-list version"), std::string::npos);

  EXPECT_FALSE(plist::read("").has_value());
  const auto text = plist::read("  {\"json\": true}");
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error().offset, 2u);
}

// A document's strings, keys and data share chunks that live as long as any of them: parts
// kept from a document outlive it and each other, on small and large (own-block) texts alike.
TEST(BinaryReader, PartsKeptFromADocumentOutliveIt) {
  const std::string large(600 * 1024, 'x');
  plist::Dictionary written;
  // Enough texts to fill several 64 KB segments and chunks.
  for (int i = 0; i < 20000; ++i) written.set("key " + std::to_string(i), "value " + std::to_string(i));
  written.set("large", large);
  written.set("bytes", plist::Data(large.data(), 1000));
  std::optional<plist::Value> kept, keptLarge, keptData;
  std::optional<plist::Dictionary> keptEntries;
  {
    auto read = plist::readBinary(plist::writeBinary(written));
    ASSERT_TRUE(read.has_value());
    const plist::Dictionary& domain = *read->asDictionary();
    kept = *domain.get("key 19999");
    keptLarge = *domain.get("large");
    keptData = *domain.get("bytes");
    const std::string& firstKey = domain.begin()->key();
    EXPECT_EQ(&firstKey, &domain.begin()->key());  // made once
    keptEntries = plist::Dictionary{{firstKey, *domain.get("key 7")}};
  }
  EXPECT_EQ(*kept->asString(), "value 19999");
  EXPECT_EQ(*keptLarge->asString(), large);
  EXPECT_EQ(keptData->asData()->bytes(), std::string_view(large.data(), 1000));
  EXPECT_EQ(*keptEntries->get("key 0")->asString(), "value 7");
  kept.reset();
  keptData.reset();
  EXPECT_EQ(keptLarge->asString()->size(), large.size());
}
