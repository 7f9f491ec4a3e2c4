// Preference domains: reading gives the dictionary, nothing, or an error (never nothing for
// a file that exists); writing replaces the file atomically in its own format and mode,
// and a failure leaves the old file byte for byte.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "binary_builder.h"
#include "failure_injection.h"
#include "foundation/user_defaults.h"
#include "plist/plist.h"
#include "test_support.h"

using foundation::NSUserDefaults;
using plisttest::readAll;
using plisttest::writeAll;

namespace {

plist::Dictionary mailDomain() {
  plist::Dictionary columns;
  columns.set("MessageList", plist::Dictionary{{"1", 100}, {"20", 60}, {"24", 80}});
  columns.set("Drafts", plist::Dictionary{{"7", 50}});
  return plist::Dictionary{{"NSUserKeyEquivalents", plist::Dictionary()},
                           {"TableColumns", columns},
                           {"LastUpdate", plist::Date{700000000}},
                           {"Signature", plist::Data("sig")}};
}

class PreferenceDomains : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }
  std::string fileOf(const std::string& name) const { return folder_.file(name + ".plist"); }
  QString directory() const { return QString::fromStdString(folder_.path()); }

  plisttest::TemporaryFolder folder_;
  NSUserDefaults defaults_{QString::fromStdString(folder_.path())};
};

}  // namespace

TEST_F(PreferenceDomains, AbsentDomainIsNothingAndWritingNothingCreatesNothing) {
  const auto domain = defaults_.persistentDomainForName("com.apple.mail");
  ASSERT_TRUE(domain.has_value()) << domain.error().toStdString();
  EXPECT_FALSE(domain->has_value());
  const auto written = defaults_.setPersistentDomainForName(std::nullopt, "com.apple.mail");
  EXPECT_TRUE(written.has_value());
  EXPECT_TRUE(plisttest::listFolder(folder_.path()).empty());
}

TEST_F(PreferenceDomains, WritingNothingLeavesAnExistingDomainAlone) {
  const std::string bytes = plist::writeBinary(mailDomain());
  writeAll(fileOf("com.apple.mail"), bytes);
  EXPECT_TRUE(defaults_.setPersistentDomainForName(std::nullopt, "com.apple.mail").has_value());
  EXPECT_EQ(readAll(fileOf("com.apple.mail")), bytes);
}

TEST_F(PreferenceDomains, EditKeepsFormatModeOrderAndEverythingElse) {
  for (const plist::Format format : {plist::Format::Binary, plist::Format::Xml}) {
    SCOPED_TRACE(plist::formatName(format));
    const std::string path = fileOf("com.apple.mail");
    writeAll(path, *plist::write(mailDomain(), format));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

    auto read = defaults_.persistentDomainForName("com.apple.mail");
    ASSERT_TRUE(read.has_value()) << read.error().toStdString();
    ASSERT_TRUE(read->has_value());
    plist::Dictionary working = **read;
    for (auto& [name, column] : *working.find("TableColumns")->asDictionary())
      column.asDictionary()->removeObjectsForKeys({"20", "21", "22", "23", "24"});
    ASSERT_TRUE(defaults_.setPersistentDomainForName(working, "com.apple.mail").has_value());

    const plist::ReadResult after = plist::read(readAll(path));
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after.format(), format);
    plist::Dictionary expected = mailDomain();
    expected.find("TableColumns")->asDictionary()->find("MessageList")->asDictionary()->removeObjectsForKeys(
        {"20", "24"});
    EXPECT_EQ(*after, plist::Value(expected));
    std::vector<std::string> keys;
    for (const auto& [key, value] : *after->asDictionary()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"NSUserKeyEquivalents", "TableColumns", "LastUpdate", "Signature"}));
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(plisttest::listFolder(folder_.path()), std::vector<std::string>{"com.apple.mail.plist"});
  }
}

TEST_F(PreferenceDomains, UnchangedDomainIsWrittenBackAsRead) {
  for (const plist::Format format : {plist::Format::Binary, plist::Format::Xml}) {
    const std::string bytes = *plist::write(mailDomain(), format);
    writeAll(fileOf("d"), bytes);
    auto read = defaults_.persistentDomainForName("d");
    ASSERT_TRUE(read.has_value() && read->has_value());
    ASSERT_TRUE(defaults_.setPersistentDomainForName(**read, "d").has_value());
    EXPECT_EQ(readAll(fileOf("d")), bytes) << plist::formatName(format);
  }
}

TEST_F(PreferenceDomains, NewDomainIsBinaryAndUnreadExistingFileKeepsItsFormat) {
  ASSERT_TRUE(defaults_.setPersistentDomainForName(mailDomain(), "fresh").has_value());
  EXPECT_EQ(plist::read(readAll(fileOf("fresh"))).format(), plist::Format::Binary);

  writeAll(fileOf("xml"), plist::writeXml(plist::Dictionary{{"a", 1}}));
  NSUserDefaults other(directory());  // has not read it
  ASSERT_TRUE(other.setPersistentDomainForName(mailDomain(), "xml").has_value());
  EXPECT_EQ(plist::read(readAll(fileOf("xml"))).format(), plist::Format::Xml);
}

TEST_F(PreferenceDomains, BadFilesAreErrorsAndStayByteForByte) {
  plisttest::BinaryBuilder cyclic;
  cyclic.add(plisttest::BinaryBuilder::array({0}));
  plisttest::BinaryBuilder hugeCount;
  hugeCount.add(plisttest::BinaryBuilder::integer8(1));
  std::string deep = "<plist>";
  for (int i = 0; i < 600; ++i) deep += "<array>";
  const std::string good = plist::writeBinary(mailDomain());

  const std::pair<const char*, std::string> cases[] = {
      {"empty file", ""},
      {"truncated binary", good.substr(0, good.size() - 7)},
      {"not a property list", "defaults write com.apple.mail\n"},
      {"top level is an array", plist::writeBinary(plist::Array{1, 2})},
      {"top level is a string", plist::writeXml(plist::Value("text"))},
      {"invalid UTF-8", "<plist><dict><key>\xFF</key><true/></dict></plist>"},
      {"unknown tag", "<plist><dict><key>a</key><widget/></dict></plist>"},
      {"cyclic references", cyclic.finish()},
      {"object count beyond the file", hugeCount.finish({.objectCount = 1u << 30})},
      {"nesting too deep", deep},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    writeAll(fileOf("bad"), bytes);
    const auto read = defaults_.persistentDomainForName("bad");
    ASSERT_FALSE(read.has_value());
    EXPECT_TRUE(read.error().contains(QString::fromStdString(fileOf("bad")))) << read.error().toStdString();
    EXPECT_EQ(readAll(fileOf("bad")), bytes);
    EXPECT_EQ(plisttest::listFolder(folder_.path()), std::vector<std::string>{"bad.plist"});
  }
}

TEST_F(PreferenceDomains, UnreadableFileIsAnErrorNotNothing) {
  ASSERT_EQ(::mkdir(fileOf("folder").c_str(), 0755), 0);
  const auto read = defaults_.persistentDomainForName("folder");
  ASSERT_FALSE(read.has_value());
  EXPECT_TRUE(read.error().contains("not a regular file")) << read.error().toStdString();
}

TEST_F(PreferenceDomains, NamesThatAreNotFileNamesAreRefused) {
  for (const char* name : {"", ".", "..", "../escape", "a/b"}) {
    EXPECT_FALSE(defaults_.persistentDomainForName(name).has_value()) << name;
    EXPECT_FALSE(defaults_.setPersistentDomainForName(mailDomain(), name).has_value()) << name;
  }
  EXPECT_TRUE(plisttest::listFolder(folder_.path()).empty());
}

TEST_F(PreferenceDomains, FailedWritesLeaveTheOldFileAndNoTemporary) {
  const std::string bytes = plist::writeXml(mailDomain());
  writeAll(fileOf("com.apple.mail"), bytes);
  plist::Dictionary bigger = mailDomain();
  bigger.set("Blob", plist::Data(std::string(200000, 'b')));

  plisttest::FailingOps failures[] = {
      plisttest::FailingOps(plisttest::FailingOps::Step::Write, ENOSPC, 1000),
      plisttest::FailingOps(plisttest::FailingOps::Step::Fsync, EIO),
      plisttest::FailingOps(plisttest::FailingOps::Step::Rename, EACCES),
  };
  for (plisttest::FailingOps& ops : failures) {
    NSUserDefaults failing(directory(), &ops);
    ASSERT_TRUE(failing.persistentDomainForName("com.apple.mail").has_value());
    const auto written = failing.setPersistentDomainForName(bigger, "com.apple.mail");
    ASSERT_FALSE(written.has_value());
    EXPECT_FALSE(written.error().isEmpty());
    EXPECT_EQ(readAll(fileOf("com.apple.mail")), bytes);
    EXPECT_EQ(plisttest::listFolder(folder_.path()), std::vector<std::string>{"com.apple.mail.plist"});
  }

  // A value that cannot be written is refused before anything touches the disk.
  plist::Dictionary unwritable{{"bad \xFF key", 1}};
  const auto refused = defaults_.setPersistentDomainForName(unwritable, "com.apple.mail");
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().contains("UTF-8")) << refused.error().toStdString();
  EXPECT_EQ(readAll(fileOf("com.apple.mail")), bytes);
}

TEST_F(PreferenceDomains, ReadOnlyFolderLeavesTheOldFile) {
  const std::string bytes = plist::writeBinary(mailDomain());
  writeAll(fileOf("com.apple.mail"), bytes);
  if (const std::string error = plisttest::setImmutable(folder_.path(), true); !error.empty())
    GTEST_SKIP() << "cannot make a folder immutable here: " << error;
  const auto written = defaults_.setPersistentDomainForName(plist::Dictionary{{"x", 1}}, "com.apple.mail");
  plisttest::setImmutable(folder_.path(), false);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(readAll(fileOf("com.apple.mail")), bytes);
  EXPECT_EQ(plisttest::listFolder(folder_.path()), std::vector<std::string>{"com.apple.mail.plist"});
}

TEST_F(PreferenceDomains, FullDiskLeavesTheOldFile) {
  const std::string small = folder_.file("Preferences");
  ASSERT_EQ(::mkdir(small.c_str(), 0700), 0);
  if (const std::string error = plisttest::mountSmallFileSystem(small, 64 * 1024); !error.empty())
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << error;
  NSUserDefaults defaults(QString::fromStdString(small));
  const std::string path = small + "/com.apple.mail.plist";
  const std::string bytes = plist::writeBinary(mailDomain());
  writeAll(path, bytes);
  plist::Dictionary bigger = mailDomain();
  bigger.set("Blob", plist::Data(std::string(256 * 1024, 'b')));

  const auto written = defaults.setPersistentDomainForName(bigger, "com.apple.mail");
  ASSERT_FALSE(written.has_value());
  EXPECT_TRUE(written.error().contains("No space left on device")) << written.error().toStdString();
  EXPECT_EQ(readAll(path), bytes);
  EXPECT_EQ(plisttest::listFolder(small), std::vector<std::string>{"com.apple.mail.plist"});
  ::umount(small.c_str());
}

TEST(StandardUserDefaults, UsesTheHomeFoldersLibraryPreferences) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  ASSERT_NE(std::string(home).find("quillane-test"), std::string::npos) << "not in the test sandbox: " << home;
  NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
  ASSERT_TRUE(defaults.setPersistentDomainForName(mailDomain(), "com.example.sandboxed").has_value());
  const std::string preferences = std::string(home) + "/Library/Preferences";
  const auto read = plist::read(readAll(preferences + "/com.example.sandboxed.plist"));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, plist::Value(mailDomain()));
  struct stat status {};
  ASSERT_EQ(::stat(preferences.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  const auto again = defaults.persistentDomainForName("com.example.sandboxed");
  ASSERT_TRUE(again.has_value() && again->has_value());
  EXPECT_EQ(plist::Value(**again), plist::Value(mailDomain()));
}

// A writer may be killed at any moment (a user quitting the tool, a crash). The domain is
// then the old one or the new one, whole; the killed writer's temporary is deleted by the
// next write. QUILLANE_PREFERENCE_KILL_TRIALS sets the number of trials (the script
// preference-write-fault-script.sh runs 1,000).
TEST_F(PreferenceDomains, WritesKilledAtAnyMomentLeaveAWholeDomainAndNoTemporaries) {
  bool set = false;
  const int configured = qEnvironmentVariableIntValue("QUILLANE_PREFERENCE_KILL_TRIALS", &set);
  const int trials = set && configured > 0 ? configured : 40;
  plist::Dictionary versions[2];
  for (int v = 0; v < 2; ++v) {
    versions[v] = mailDomain();
    plist::Array messages;
    for (int i = 0; i < 4000; ++i) messages.push_back(plist::Dictionary{{"Id", i * (v + 1)}, {"Subject", std::string(20, 'a' + v)}});
    versions[v].set("Messages", messages);
  }
  const auto writeInChild = [&](const plist::Dictionary& domain) {
    const pid_t child = ::fork();
    if (child == 0) {
      NSUserDefaults writer(directory());
      ::_exit(writer.setPersistentDomainForName(domain, "com.apple.mail").has_value() ? 0 : 1);
    }
    return child;
  };
  const auto temporaries = [&] {
    int count = 0;
    for (const std::string& name : plisttest::listFolder(folder_.path())) count += name != "com.apple.mail.plist";
    return count;
  };

  // How long an undisturbed write takes here, so that the kills spread over all of it.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  int status = 0;
  ASSERT_EQ(::waitpid(writeInChild(versions[0]), &status, 0) > 0 && status == 0, true);
  const auto undisturbed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();

  std::mt19937 random(std::random_device{}());
  int mostLeftAtOnce = 0;
  for (int trial = 0; trial < trials; ++trial) {
    const pid_t child = writeInChild(versions[(trial + 1) % 2]);
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (undisturbed + 1)));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    const auto read = defaults_.persistentDomainForName("com.apple.mail");
    ASSERT_TRUE(read.has_value() && read->has_value()) << "trial " << trial << ": "
                                                       << (read ? "no domain" : read.error().toStdString());
    ASSERT_TRUE(**read == versions[0] || **read == versions[1]) << "trial " << trial << ": a mixed domain";
    mostLeftAtOnce = std::max(mostLeftAtOnce, temporaries());
  }
  const int leftByKills = temporaries();
  ASSERT_TRUE(defaults_.setPersistentDomainForName(versions[0], "com.apple.mail").has_value());
  std::printf("%d killed writes (undisturbed write %lld us): at most %d temporaries at once, %d before the last "
              "write, %d after it\n",
              trials, static_cast<long long>(undisturbed), mostLeftAtOnce, leftByKills, temporaries());
  EXPECT_LE(mostLeftAtOnce, 1) << "each write deletes what the killed one before it left";
  EXPECT_EQ(temporaries(), 0);
}
