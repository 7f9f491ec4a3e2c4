// An in-memory stand-in for the platform, recording every call in order, for driving
// `Uninstaller` through each branch without touching disks, buses or windows.
#pragma once

#include "foundation/log.h"
#include "removal-tool/uninstaller_environment.h"

#include <QByteArray>

#include <map>
#include <optional>
#include <set>
#include <vector>

class FakeEnvironment : public UninstallerEnvironment {
 public:
  enum class Entry { BundleDirectory, PlainDirectory, File, Link };

  struct BuiltEvent {
    AEEventClass eventClass;
    AEEventID eventID;
    DescType addressType;
    QByteArray address;
    AEReturnID returnID;
    AETransactionID transactionID;
    bool errorRecordPassed;
    QByteArray parameterFormat;
  };
  struct Send {
    const AppleEvent* event;
    bool replyPassed;
    AESendMode mode;
    long timeout;
  };
  struct Alert {
    QString title, message, defaultButton, alternateButton, otherButton;
  };

  // ---- The world ----
  QStringList libraries = {QStringLiteral("/home/u/Library")};
  std::map<QString, Entry> entries;
  std::map<QString, LinkDestination> linkDestinations;  // for Link entries; none: leads nowhere
  std::map<QString, QString> removalFailures;  // path → description given on failure
  std::optional<plist::Dictionary> mailDomain;
  std::optional<QString> mailDomainReadError;
  std::optional<QString> mailDomainWriteError;
  OSStatus buildStatus = noErr;
  OSStatus sendStatus = noErr;

  // ---- What happened, in order ----
  // One word per call: "build", "send", "dispose", "remove <path>", "log <line>",
  // "alert <title>", "read <domain>", "write <domain>", "terminate".
  QStringList journal;
  std::vector<BuiltEvent> built;
  std::vector<Send> sends;
  std::vector<const AEDesc*> disposed;
  std::vector<Alert> alerts;
  QStringList logLines;
  std::vector<plist::Dictionary> writes;
  std::vector<QObject*> terminateSenders;

  void addInstalledPlugin(const QString& library) {
    entries[library + "/Mail/Bundles/Quillane.mailbundle"] = Entry::BundleDirectory;
    entries[library + "/Spotlight/Quillane.mdimporter"] = Entry::BundleDirectory;
    entries[library + "/Mail/Bundles/Quillane Extras"] = Entry::PlainDirectory;
  }
  bool exists(const QString& path) const { return entries.count(path) != 0; }

  QStringList userLibraryDirectories() override { return libraries; }

  std::optional<QString> bundlePathForBundleAtPath(const QString& path) override {
    auto found = entries.find(path);
    if (found == entries.end()) return std::nullopt;
    if (found->second != Entry::BundleDirectory && found->second != Entry::PlainDirectory)
      return std::nullopt;
    return path;
  }

  bool fileExistsAtPathIsDirectory(const QString& path, bool* isDirectory) override {
    auto found = entries.find(path);
    if (found == entries.end()) return false;
    if (isDirectory)
      *isDirectory =
          found->second == Entry::BundleDirectory || found->second == Entry::PlainDirectory;
    return true;
  }

  std::optional<LinkDestination> symbolicLinkDestinationAtPath(const QString& path) override {
    auto found = entries.find(path);
    if (found == entries.end() || found->second != Entry::Link) return std::nullopt;
    auto destination = linkDestinations.find(path);
    return destination == linkDestinations.end() ? LinkDestination{} : destination->second;
  }

  // Entries named as a removal stages them: "<folder>/.<name>.removing-<anything>".
  QStringList remnantsOfRemovalsAtPath(const QString& path) override {
    const qsizetype slash = path.lastIndexOf('/');
    const QString prefix = path.left(slash + 1) + '.' + path.mid(slash + 1) + ".removing-";
    QStringList remnants;
    for (const auto& [entry, kind] : entries)
      if (entry.startsWith(prefix)) remnants << entry;
    return remnants;
  }

  bool removeItemAtPathError(const QString& path, QString* localizedDescription) override {
    journal << "remove " + path;
    if (auto failure = removalFailures.find(path); failure != removalFailures.end()) {
      *localizedDescription = failure->second;
      return false;
    }
    if (!entries.erase(path)) {
      *localizedDescription = path + ": No such file or directory";
      return false;
    }
    return true;
  }

  PersistentDomainRead persistentDomainForName(const QString& name) override {
    journal << "read " + name;
    PersistentDomainRead read;
    if (mailDomainReadError)
      read.error = mailDomainReadError;
    else
      read.domain = mailDomain;
    return read;
  }

  bool setPersistentDomainForName(const plist::Dictionary& domain, const QString& name,
                                  QString* error) override {
    journal << "write " + name;
    if (mailDomainWriteError) {
      *error = *mailDomainWriteError;
      return false;
    }
    writes.push_back(domain);
    mailDomain = domain;
    return true;
  }

  void log(const QString& format, const QString& argument) override {
    const QString line = foundation::stringWithFormat(format, argument);
    journal << "log " + line;
    logLines << line;
  }

  int runAlertPanel(const QString& title, const QString& message, const QString& defaultButton,
                    const QString& alternateButton, const QString& otherButton) override {
    journal << "alert " + title;
    alerts.push_back({title, message, defaultButton, alternateButton, otherButton});
    return 1;
  }

  OSStatus buildAppleEvent(AEEventClass eventClass, AEEventID eventID, DescType addressType,
                           const void* addressData, Size addressLength, AEReturnID returnID,
                           AETransactionID transactionID, AppleEvent* result,
                           AEBuildError* error, const char* parameterFormat) override {
    journal << "build";
    built.push_back({eventClass, eventID, addressType,
                     QByteArray(static_cast<const char*>(addressData), qsizetype(addressLength)),
                     returnID, transactionID, error != nullptr,
                     parameterFormat ? QByteArray(parameterFormat) : QByteArray()});
    result->descriptorType = buildStatus == noErr ? typeAppleEvent : typeNull;
    return buildStatus;
  }

  OSStatus sendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                       long timeOutInTicks) override {
    journal << "send";
    sends.push_back({event, reply != nullptr, sendMode, timeOutInTicks});
    return sendStatus;
  }

  OSErr disposeDesc(AEDesc* desc) override {
    journal << "dispose";
    disposed.push_back(desc);
    desc->descriptorType = typeNull;
    return noErr;
  }

  // The installation lock: free unless lockFailure is set; never waits.
  std::optional<QString> lockFailure;
  QStringList lockedBundles;
  int unlocks = 0;
  void lockInstallation(const QString& bundlePath, std::chrono::milliseconds, std::function<void()>,
                        LockDone done) override {
    lockedBundles << bundlePath;
    done(lockFailure);
  }
  void unlockInstallations() override { ++unlocks; }

  void terminate(QObject* sender) override {
    journal << "terminate";
    terminateSenders.push_back(sender);
  }
};
