// update-publisher embed-agent: a plain plug-in becomes updatable in one step, and a
// refusal leaves the plug-in exactly as it was.
#include "tools/update-publisher/publisher.h"

#include "plist/file.h"
#include "plist/plist.h"
#include "support/bundle_fixtures.h"
#include "updater/core/ed25519_signing.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace updater {
namespace {

using namespace updater::testing;

class AgentEmbeddingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    plugin = makeBundle(dir.path(), QStringLiteral("Quillane.mailbundle"), BundleSpec{});
    agent = makeAgent(QStringLiteral("agent-1"), "first");
    key = dir.filePath(QStringLiteral("publisher.key"));
    ASSERT_EQ(run({"keygen", "--key", key}), 0);
    publicKey = encodePublicKey(readPrivateKeyFile(key)->publicKey);
  }

  // An agent bundle: its program, a library in Frameworks and a relative link.
  QString makeAgent(const QString& folder, const QByteArray& build) {
    const QString app = dir.filePath(folder + QStringLiteral("/QuillaneUpdateAgent.app"));
    writeFile(app + QStringLiteral("/Contents/MacOS/QuillaneUpdateAgent"), "#!/bin/sh\n# " + build + "\n", 0755);
    writeFile(app + QStringLiteral("/Contents/Frameworks/libQuillaneUpdater.so"), "library " + build);
    writeFile(app + QStringLiteral("/Contents/Info.plist"), "<plist><dict/></plist>");
    EXPECT_TRUE(QFile::link(QStringLiteral("libQuillaneUpdater.so"), app + QStringLiteral("/Contents/Frameworks/libQuillaneUpdater.so.1")));
    return app;
  }

  int run(const QStringList& arguments) {
    QTextStream out(&output), err(&errors);
    return publisher::runPublisher(arguments, out, err);
  }

  plist::ReadResult info() const {
    return plist::read(*plist::readFile((plugin + QStringLiteral("/Contents/Info.plist")).toStdString()));
  }
  std::string infoString(const char* key) const {
    const plist::ReadResult read = info();
    const plist::Value* value = read->asDictionary()->get(key);
    return value && value->asString() ? *value->asString() : std::string();
  }

  QTemporaryDir dir;
  QString plugin, agent, key, publicKey;
  QString output, errors;
};

TEST_F(AgentEmbeddingTest, APlainPluginGetsTheAgentAndTheUpdaterKeysInItsOwnFormat) {
  const QString infoPath = plugin + QStringLiteral("/Contents/Info.plist");
  ASSERT_TRUE(plist::writeFileAtomically(infoPath.toStdString(), plist::writeBinary(*info())));

  ASSERT_EQ(run({"embed-agent", plugin, "--agent", agent, "--feed-url", "https://example.org/appcast.xml", "--key", key}), 0)
      << errors.toStdString();
  const QString embedded = plugin + QStringLiteral("/Contents/Resources/QuillaneUpdateAgent.app");
  EXPECT_EQ(snapshot(embedded), snapshot(agent)) << describeDifference(snapshot(agent), snapshot(embedded));
  EXPECT_EQ(info().format(), plist::Format::Binary);
  EXPECT_EQ(infoString("SUFeedURL"), "https://example.org/appcast.xml");
  EXPECT_EQ(infoString("SUPublicEDKey"), publicKey.toStdString());
  EXPECT_EQ(infoString("CFBundleIdentifier"), "com.quillane.mail.plugin");

  // A newer agent replaces the old copy whole; keys not given keep their values.
  const QString newer = makeAgent(QStringLiteral("agent-2"), "second");
  ASSERT_EQ(run({"embed-agent", plugin, "--agent", newer, "--feed-url", "https://example.org/beta.xml"}), 0) << errors.toStdString();
  EXPECT_EQ(snapshot(embedded), snapshot(newer)) << describeDifference(snapshot(newer), snapshot(embedded));
  EXPECT_EQ(infoString("SUFeedURL"), "https://example.org/beta.xml");
  EXPECT_EQ(infoString("SUPublicEDKey"), publicKey.toStdString());
  // Recovery keys: each --recovery-public-key, all of them replacing the ones the plug-in had.
  const QString recovery = QString::fromLatin1(QByteArray(32, '\x07').toBase64());
  const QString otherRecovery = QString::fromLatin1(QByteArray(32, '\x08').toBase64());
  ASSERT_EQ(run({"embed-agent", plugin, "--agent", newer, "--recovery-public-key", recovery, "--recovery-public-key", otherRecovery}), 0)
      << errors.toStdString();
  const plist::ReadResult withRecovery = info();
  ASSERT_TRUE(withRecovery);
  const plist::Value* keys = withRecovery->asDictionary()->get("QLRecoveryPublicEDKeys");
  ASSERT_TRUE(keys && keys->asArray());
  EXPECT_EQ(keys->asArray()->size(), 2u);
  EXPECT_EQ(run({"embed-agent", plugin, "--agent", newer, "--recovery-public-key", publicKey}), 1) << "the signing key itself";
  EXPECT_TRUE(errors.contains(QStringLiteral("is the SUPublicEDKey itself"))) << errors.toStdString();
  const QStringList resources = QDir(plugin + QStringLiteral("/Contents/Resources")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  EXPECT_FALSE(resources.join(' ').contains(QStringLiteral(".embedding"))) << resources.join(' ').toStdString();
}

TEST_F(AgentEmbeddingTest, RefusalsLeaveThePluginAsItWas) {
  const QString infoPath = plugin + QStringLiteral("/Contents/Info.plist");
  const QString feed = QStringLiteral("https://example.org/appcast.xml");
  const QString notAPlugin = dir.filePath(QStringLiteral("Quillane.bundle"));
  QDir().mkpath(notAPlugin + QStringLiteral("/Contents"));
  const QString emptyAgent = dir.filePath(QStringLiteral("empty/QuillaneUpdateAgent.app"));
  QDir().mkpath(emptyAgent);

  const struct {
    const char* what;
    QByteArray info;  // empty: the fixture's own
    QStringList arguments;
    int status;
  } cases[] = {
      {"not a .mailbundle", {}, {"embed-agent", notAPlugin, "--agent", agent, "--feed-url", feed, "--key", key}, 1},
      {"no agent program", {}, {"embed-agent", plugin, "--agent", emptyAgent, "--feed-url", feed, "--key", key}, 1},
      {"relative feed URL", {}, {"embed-agent", plugin, "--agent", agent, "--feed-url", "appcast.xml", "--key", key}, 1},
      {"ftp feed URL", {}, {"embed-agent", plugin, "--agent", agent, "--feed-url", "ftp://example.org/a", "--key", key}, 1},
      {"short public key", {}, {"embed-agent", plugin, "--agent", agent, "--feed-url", feed, "--public-key", "AAAA"}, 1},
      {"no key anywhere", {}, {"embed-agent", plugin, "--agent", agent, "--feed-url", feed}, 1},
      {"unparseable Info.plist", "<plist><dict><key>CFBundleVersion</key>", {"embed-agent", plugin, "--agent", agent, "--feed-url", feed, "--key", key}, 1},
      {"no CFBundleVersion", "<plist><dict><key>CFBundleIdentifier</key><string>q</string></dict></plist>",
       {"embed-agent", plugin, "--agent", agent, "--feed-url", feed, "--key", key}, 1},
      {"two plug-ins", {}, {"embed-agent", plugin, plugin, "--agent", agent, "--feed-url", feed, "--key", key}, 2},
      {"both keys", {}, {"embed-agent", plugin, "--agent", agent, "--key", key, "--public-key", publicKey}, 2},
  };
  const QByteArray fixtureInfo = readFile(infoPath);
  for (const auto& refused : cases) {
    writeFile(infoPath, refused.info.isEmpty() ? fixtureInfo : refused.info);
    const TreeSnapshot before = snapshot(plugin);
    errors.clear();
    EXPECT_EQ(run(refused.arguments), refused.status) << refused.what;
    EXPECT_TRUE(errors.startsWith(QStringLiteral("update-publisher: "))) << refused.what << ": " << errors.toStdString();
    EXPECT_EQ(snapshot(plugin), before) << refused.what << ": " << describeDifference(before, snapshot(plugin));
  }
}

}  // namespace
}  // namespace updater
