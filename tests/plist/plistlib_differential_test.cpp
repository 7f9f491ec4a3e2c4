// Differential tests against Python's plistlib: files it writes are read equal by our
// readers; files we write are read equal by it, key order included.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "canonical_dump.h"
#include "plist/plist.h"
#include "test_support.h"

using plisttest::dump;
using plisttest::run;
using plisttest::shellQuote;

namespace {

const std::string kOracle = PLISTLIB_ORACLE;

bool oracleAvailable() { return run("python3 -c 'import plistlib' 2>&1").status == 0; }

// Runs the oracle's dump on files; returns one dump per file.
std::vector<std::string> plistlibDumps(const std::vector<std::string>& files) {
  std::string command = "python3 " + shellQuote(kOracle) + " dump";
  for (const std::string& file : files) command += " " + shellQuote(file);
  const plisttest::ProcessResult result = run(command + " 2>&1");
  EXPECT_EQ(result.status, 0) << result.output;
  std::vector<std::string> dumps;
  std::size_t start = 0;
  for (std::size_t end; (end = result.output.find("\n--end--\n", start)) != std::string::npos; start = end + 9)
    dumps.push_back(result.output.substr(start, end - start));
  return dumps;
}

// Random values of every kind. XML-bound values avoid what XML cannot carry (control
// characters) and what plistlib cannot write there (nothing else).
class ValueGenerator {
 public:
  ValueGenerator(unsigned seed, bool forXml) : random_(seed), forXml_(forXml) {}

  plist::Value value(int depth) {
    if (depth >= 4 || pick(100) < 45) return scalar();
    if (pick(2)) {
      plist::Array array;
      const std::size_t count = pickOf<std::size_t>({0, 1, 3, 14, 15, 20});
      for (std::size_t i = 0; i < count; ++i) array.push_back(value(depth + 1));
      return array;
    }
    plist::Dictionary dictionary;
    const std::size_t count = pickOf<std::size_t>({0, 1, 5, 9, 15, 20});
    for (std::size_t i = 0; i < count; ++i) dictionary.set(text() + std::to_string(i), value(depth + 1));
    return dictionary;
  }

  plist::Value scalar() {
    switch (pick(8)) {
      case 0:
      case 1: return text();
      case 2:
        return pickOf<plist::Integer>({0, 1, -1, 14, 15, 255, 256, 65535, 65536, INT64_C(2147483648),
                                       INT64_C(4294967295), INT64_C(4294967296), INT64_MAX, INT64_MIN,
                                       plist::Integer::fromUnsigned(UINT64_C(9223372036854775808)),
                                       plist::Integer::fromUnsigned(UINT64_MAX),
                                       static_cast<std::int64_t>(random_())});
      case 3:
        return pickOf<double>({0.0, -0.0, 0.1, 1e300, -1e-300, 5e-324, HUGE_VAL, -HUGE_VAL, std::nan(""),
                               std::uniform_real_distribution<double>(-1e6, 1e6)(random_)});
      case 4: return pick(2) == 1;
      case 5:
        return plist::Date{static_cast<double>(
            std::uniform_int_distribution<std::int64_t>(-63113904000, 252423993599)(random_))};
      case 6: {
        std::string bytes;
        const std::size_t count = pickOf<std::size_t>({0, 1, 2, 3, 14, 15, 16, 100});
        for (std::size_t i = 0; i < count; ++i) bytes += static_cast<char>(pick(256));
        return plist::Data(bytes);
      }
      default: return plist::Uid{pickOf<std::uint64_t>({0, 255, 256, UINT64_C(4294967296), UINT64_MAX, random_()})};
    }
  }

  std::string text() {
    static const char* pieces[] = {"a", "Z", "0", " ", "\n", "\t", "\r", "&", "<", ">", "\"", "]]>",
                                   "\xC3\xA9", "\xC3\x9F", "\xE4\xB8\xAD\xE6\x96\x87", "\xEF\xBB\xBF",
                                   "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBD", "key", "20"};
    std::string text;
    const std::size_t count = pick(12);
    for (std::size_t i = 0; i < count; ++i) text += pieces[pick(std::size(pieces))];
    if (!forXml_ && pick(5) == 0) text += std::string(1, pickOf<char>({'\0', '\x01', '\x1b', '\x7f'}));
    return text;
  }

 private:
  std::size_t pick(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
  template <typename T>
  T pickOf(std::initializer_list<T> choices) {
    return *(choices.begin() + pick(choices.size()));
  }

  std::mt19937_64 random_;
  bool forXml_;
};

// Every key a dictionary iterates over is also found by lookup, to the same value.
bool lookupsAgree(const plist::Value& value) {
  if (const plist::Dictionary* dictionary = value.asDictionary()) {
    for (const auto& [key, item] : *dictionary)
      if (dictionary->get(key) != &item || !lookupsAgree(item)) return false;
  } else if (const plist::Array* array = value.asArray()) {
    for (const plist::Value& item : *array)
      if (!lookupsAgree(item)) return false;
  }
  return true;
}

class PlistlibDifferential : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!oracleAvailable()) GTEST_SKIP() << "python3 with plistlib is not available";
    ASSERT_FALSE(folder_.path().empty());
  }
  plisttest::TemporaryFolder folder_;
};

}  // namespace

TEST_F(PlistlibDifferential, PlistlibReadsWhatWeWrite) {
  std::vector<std::string> files, expected;
  for (unsigned seed = 0; seed < 40; ++seed) {
    for (const plist::Format format : {plist::Format::Binary, plist::Format::Xml}) {
      ValueGenerator generator(seed, format == plist::Format::Xml);
      plist::Dictionary root{{"root", generator.value(0)}};
      if (seed == 0) {  // enough objects for wider references and offsets
        plist::Array many;
        for (int i = 0; i < 70000; ++i) many.push_back(i % 3 ? plist::Value(i) : plist::Value(generator.text()));
        root.set("many", many);
      }
      auto bytes = plist::write(root, format);
      ASSERT_TRUE(bytes.has_value()) << bytes.error().message;
      const std::string path = folder_.file(std::to_string(seed) + (format == plist::Format::Xml ? ".xml" : ".bin"));
      plisttest::writeAll(path, *bytes);
      files.push_back(path);
      expected.push_back(dump(root));
    }
  }
  const std::vector<std::string> dumps = plistlibDumps(files);
  ASSERT_EQ(dumps.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(plisttest::firstDifference(dumps[i], expected[i]), "") << files[i];
}

TEST_F(PlistlibDifferential, WeReadWhatPlistlibWritesAndWriteItBackTheSame) {
  const int count = 40;
  const auto generated = run("python3 " + shellQuote(kOracle) + " generate 20240517 " + std::to_string(count) + " " +
                             shellQuote(folder_.path()) + " 2>&1");
  ASSERT_EQ(generated.status, 0) << generated.output;

  std::vector<std::string> rewritten, expected;
  for (int i = 0; i < count; ++i) {
    for (const plist::Format format : {plist::Format::Binary, plist::Format::Xml}) {
      const std::string path = folder_.file(std::to_string(i) + (format == plist::Format::Xml ? ".xml" : ".binary"));
      const std::string want = plisttest::readAll(path + ".dump");
      const plist::ReadResult value = plist::read(plisttest::readAll(path));
      ASSERT_TRUE(value.has_value()) << path << ": " << value.error().describe();
      EXPECT_EQ(value.format(), format) << path;
      EXPECT_EQ(plisttest::firstDifference(dump(*value), want), "") << path;
      EXPECT_TRUE(lookupsAgree(*value)) << path;

      // Written back in the same format, plistlib must see the same value in the same order.
      auto bytes = plist::write(*value, format);
      ASSERT_TRUE(bytes.has_value()) << path << ": " << bytes.error().message;
      const std::string copy = path + ".ours";
      plisttest::writeAll(copy, *bytes);
      rewritten.push_back(copy);
      expected.push_back(want);
    }
  }
  const std::vector<std::string> dumps = plistlibDumps(rewritten);
  ASSERT_EQ(dumps.size(), rewritten.size());
  for (std::size_t i = 0; i < rewritten.size(); ++i) EXPECT_EQ(plisttest::firstDifference(dumps[i], expected[i]), "") << rewritten[i];
}

TEST_F(PlistlibDifferential, ConvertingBetweenFormatsKeepsTheValue) {
  // Binary to XML and back, for XML-safe values: nothing lost either way.
  for (unsigned seed = 100; seed < 140; ++seed) {
    const plist::Value original = ValueGenerator(seed, true).value(0);
    const plist::Result<plist::Value> fromXml = plist::readXml(plist::writeXml(original));
    ASSERT_TRUE(fromXml.has_value()) << seed << ": " << fromXml.error().describe();
    const plist::Result<plist::Value> fromBinary = plist::readBinary(plist::writeBinary(*fromXml));
    ASSERT_TRUE(fromBinary.has_value()) << seed << ": " << fromBinary.error().describe();
    EXPECT_EQ(plisttest::firstDifference(dump(*fromBinary), dump(original)), "") << seed;
  }
}
