// An installed plug-in, its publisher and its update server, made afresh for each test:
// bundles written on disk, archives packed with bsdtar, keys, signatures and feeds made
// with the publisher tool (build/bin/update-publisher), served by a TestHttpServer.
#pragma once

#include "test_http_server.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>

struct BundleSpec {
  QString identifier = QStringLiteral("com.quillane.plugin");
  QString version = QStringLiteral("1.0");
  QString shortVersion;  // the version when empty
  QString feedURL;
  QString publicEDKey;
  QStringList recoveryPublicKeys;  // QLRecoveryPublicEDKeys
  bool automaticallyUpdate = false;
  bool requireSignedFeed = false;
  QByteArray payload = "old payload";  // Contents/Resources/payload.txt
};

// Writes `dir` as a bundle: Contents/Info.plist (XML), an executable Contents/MacOS/Quillane,
// Contents/Resources/payload.txt, and a relative link Contents/Current → MacOS.
void writeBundle(const QString& dir, const BundleSpec& bundleShape);

// Every item under root: relative path → kind, mode and contents (or link target).
std::map<QString, QByteArray> snapshotTree(const QString& root);

// What update-publisher printed, or a test failure.
QString runPublisher(const QStringList& arguments);

class UpdateFixture {
 public:
  UpdateFixture();

  // The installed plug-in, its Library folder and the folder that holds it.
  QString pluginPath() const { return bundlesDir_ + QStringLiteral("/Quillane.mailbundle"); }
  QString bundlesDir() const { return bundlesDir_; }
  QString workDir() const { return work_.path(); }
  TestHttpServer& server() { return server_; }

  QString publicKey() const { return publicKey_; }
  QString keyPath() const { return work_.filePath(QStringLiteral("publisher.key")); }
  // A second key pair, for signatures the plug-in must not trust.
  QString otherKeyPath();

  // Installs the plug-in at version 1.0 (bundleShape's feed and key are filled in unless set).
  void install(BundleSpec bundleShape = {});

  // Packs a bundle built from `bundleShape` into an archive under the work folder; returns its path.
  // Like a real release, the bundle names the same feed and key unless the bundleShape sets them.
  QString buildArchive(const QString& name, BundleSpec bundleShape);

  // Adds an item for `archive` to the feed (made with update-publisher), served at
  // /appcast.xml, with the archive served at /<archive file name>. Extra publisher options
  // (e.g. --description, --key other.key) go in `options`.
  void publish(const QString& archive, const QStringList& options = {});
  QString feedPath() const { return work_.filePath(QStringLiteral("appcast.xml")); }
  // Makes the delta from oldArchive to newArchive under the work folder with update-publisher
  // (signed with the publisher's key) and serves it at /<name>. Returns its path.
  QString makeDelta(const QString& name, const QString& oldArchive, const QString& newArchive);
  // The publish() options that list a delta made by makeDelta() under the item.
  QStringList deltaOptions(const QString& delta) const;
  // Serves the feed file as it is now.
  void serveFeed();

  // Staging folders or other items next to the plug-in besides the plug-in itself.
  QStringList itemsBesidePlugin() const;
  // The installed plug-in's CFBundleVersion, read back from its Info.plist.
  QString installedVersion() const;
  QByteArray installedPayload() const;

 private:
  QTemporaryDir work_;
  QString bundlesDir_;
  QString publicKey_;
  TestHttpServer server_;
  bool otherKeyMade_ = false;
};
