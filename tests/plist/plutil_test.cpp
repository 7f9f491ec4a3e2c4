// plutil from the outside: exit statuses, what goes to stdout and stderr, and files left
// untouched on every failure.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "plist/plist.h"
#include "test_support.h"

using plisttest::readAll;
using plisttest::shellQuote;
using plisttest::writeAll;

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class Plutil : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }

  Outcome plutil(const std::vector<std::string>& args) {
    std::string command = shellQuote(PLUTIL_PATH);
    for (const std::string& arg : args) command += " " + shellQuote(arg);
    const std::string errors = folder_.path() + "/../plutil-stderr";
    const plisttest::ProcessResult result = plisttest::run(command + " 2>" + shellQuote(errors));
    Outcome outcome{result.status, result.output, readAll(errors)};
    std::remove(errors.c_str());
    return outcome;
  }

  std::string file(const std::string& name, const std::string& bytes) {
    writeAll(folder_.file(name), bytes);
    return folder_.file(name);
  }

  plisttest::TemporaryFolder folder_;
  const plist::Value sample_ = plist::Dictionary{
      {"TableColumns", plist::Dictionary{{"list", plist::Dictionary{{"20", 1}}}}},
      {"name", "Quillane"},
      {"when", plist::Date{0}},
  };
};

}  // namespace

TEST_F(Plutil, LintReportsEachFileAndFailsIfAnyIsBad) {
  const std::string good = file("good.plist", plist::writeBinary(sample_));
  const std::string xml = file("good.xml", plist::writeXml(sample_));
  const std::string bad = file("bad.plist", "<plist><dict>\n<key>a</key>\n<widget/></dict></plist>");

  const Outcome ok = plutil({"-lint", good, xml});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, good + ": OK\n" + xml + ": OK\n");
  EXPECT_EQ(ok.err, "");

  const Outcome mixed = plutil({"-lint", good, bad});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(mixed.out, good + ": OK\n");
  EXPECT_EQ(mixed.err, "plutil: " + bad + ": unknown element <widget> (line 3, column 1, byte 27)\n");

  const Outcome missing = plutil({"-lint", folder_.file("absent.plist")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}

TEST_F(Plutil, ConvertsInPlaceKeepingValueAndMode) {
  const std::string path = file("settings.plist", plist::writeBinary(sample_));
  ASSERT_EQ(::chmod(path.c_str(), 0604), 0);

  Outcome outcome = plutil({"-convert", "xml1", path});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  plist::ReadResult read = plist::read(readAll(path));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read.format(), plist::Format::Xml);
  EXPECT_EQ(*read, sample_);

  outcome = plutil({"-convert", "binary1", path});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  read = plist::read(readAll(path));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read.format(), plist::Format::Binary);
  EXPECT_EQ(*read, sample_);

  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0604u);
  EXPECT_EQ(plisttest::listFolder(folder_.path()), std::vector<std::string>{"settings.plist"});
}

TEST_F(Plutil, ConvertWithOutputLeavesTheSourceAlone) {
  const std::string source = file("in.plist", plist::writeXml(sample_));
  const std::string before = readAll(source);
  const Outcome outcome = plutil({"-convert", "binary1", source, "-o", folder_.file("out.plist")});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(readAll(source), before);
  EXPECT_EQ(*plist::readBinary(readAll(folder_.file("out.plist"))), sample_);

  const Outcome toStdout = plutil({"-convert", "xml1", source, "-o", "-"});
  EXPECT_EQ(toStdout.status, 0);
  EXPECT_EQ(toStdout.out, before);
}

TEST_F(Plutil, BadInputFailsAndLeavesTheFileUntouched) {
  std::string truncated = plist::writeBinary(sample_);
  truncated.resize(truncated.size() - 5);
  const std::string cases[] = {truncated, "<plist><dict><key>a</key></dict></plist>", "not a property list", ""};
  for (const std::string& bytes : cases) {
    const std::string path = file("broken.plist", bytes);
    for (const char* format : {"xml1", "binary1"}) {
      const Outcome outcome = plutil({"-convert", format, path});
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.err.rfind("plutil: " + path + ": ", 0), 0u) << outcome.err;
      EXPECT_EQ(readAll(path), bytes);
      EXPECT_EQ(plisttest::listFolder(folder_.path()), std::vector<std::string>{"broken.plist"});
    }
  }
}

TEST_F(Plutil, ValueXmlCannotCarryIsRefusedAndTheFileKept) {
  const std::string bytes = plist::writeBinary(plist::Dictionary{{"escape", "\x1b[2J"}});
  const std::string path = file("control.plist", bytes);
  const Outcome outcome = plutil({"-convert", "xml1", path});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("control character"), std::string::npos) << outcome.err;
  EXPECT_EQ(readAll(path), bytes);

  // Printing it escapes the control character instead of sending it to the terminal.
  const Outcome printed = plutil({"-p", path});
  EXPECT_EQ(printed.status, 0);
  EXPECT_EQ(printed.out, "{\n  \"escape\" => \"\\x1b[2J\"\n}\n");
}

TEST_F(Plutil, PrintShowsEntriesInFileOrder) {
  const std::string path = file("p.plist", plist::writeXml(plist::Dictionary{
                                               {"z", plist::Array{1, "two"}},
                                               {"a", plist::Data("\x01\xff")},
                                               {"m", plist::Date{0}},
                                               {"u", plist::Uid{4}},
                                           }));
  const Outcome outcome = plutil({"-p", path});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out,
            "{\n"
            "  \"z\" => [\n"
            "    0 => 1\n"
            "    1 => \"two\"\n"
            "  ]\n"
            "  \"a\" => {length = 2, bytes = 0x01ff}\n"
            "  \"m\" => 2001-01-01 00:00:00 +0000\n"
            "  \"u\" => UID(4)\n"
            "}\n");
}

TEST_F(Plutil, UsageErrors) {
  const std::string path = file("x.plist", plist::writeBinary(sample_));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-convert", "json", path}, {"-convert", "xml1"}, {"-lint"}, {"-frobnicate", path},
        {"-convert", "xml1", path, path, "-o", folder_.file("o")}}) {
    const Outcome outcome = plutil(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("usage:"), std::string::npos) << outcome.err;
  }
  EXPECT_EQ(plisttest::listFolder(folder_.path()), std::vector<std::string>{"x.plist"});
}
