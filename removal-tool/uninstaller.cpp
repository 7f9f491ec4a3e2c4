#include "uninstaller.h"

#include "foundation/log.h"
#include "foundation/path_utilities.h"
#include "mail-interface/mail.h"
#include "uninstaller_environment.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

// What the user reads is translated where it is shown; the log stays English for support.
const char* const kCompleteTitle = QT_TRANSLATE_NOOP("Uninstaller", "Uninstall Complete");
const char* const kCompleteMessage =
    QT_TRANSLATE_NOOP("Uninstaller", "Quillane was successfully removed");
const char* const kCompleteButton = QT_TRANSLATE_NOOP("Uninstaller", "Done");
const char* const kFailedTitle = QT_TRANSLATE_NOOP("Uninstaller", "Uninstall Not Successful");
const char* const kFailedMessage = QT_TRANSLATE_NOOP(
    "Uninstaller",
    "Quillane 2 was not successfully removed.  The following error occurred\n%@");
const char* const kFailedButton = QT_TRANSLATE_NOOP("Uninstaller", "OK");
const QString kDeleteFailedLog = QStringLiteral("Delete operation did not succeed: %@!");
const QString kSettingsUnreadableLog =
    QStringLiteral("Mail's settings were left unchanged; they could not be read: %@");
const QString kSettingsUnwrittenLog =
    QStringLiteral("Mail's settings were left unchanged; they could not be written: %@");

const QString kWaitingForInstallationLog =
    QStringLiteral("Waiting for the update being installed at %@ to finish before removing anything");
const QString kNotLockedLog = QStringLiteral("Nothing was removed: %@");
constexpr std::chrono::seconds kInstallationWait{30};

constexpr int kItemCount = 3;

}  // namespace

const std::array<RemovalTarget, 3>& Uninstaller::targets() {
  static const std::array<RemovalTarget, 3> kTargets = {{
      {"Mail/Bundles/Quillane.mailbundle", QT_TRANSLATE_NOOP("UninstallerWindow", "Plug-in"),
       RemovalTarget::Presence::Bundle},
      {"Spotlight/Quillane.mdimporter",
       QT_TRANSLATE_NOOP("UninstallerWindow", "Spotlight importer"),
       RemovalTarget::Presence::Bundle},
      {"Mail/Bundles/Quillane Extras", QT_TRANSLATE_NOOP("UninstallerWindow", "Extras folder"),
       RemovalTarget::Presence::Directory},
  }};
  return kTargets;
}

Uninstaller::Uninstaller(UninstallerEnvironment& environment, QObject* parent)
    : QObject(parent), environment_(environment) {}

void Uninstaller::cancel(QObject* sender) { environment_.terminate(sender); }

OSStatus Uninstaller::quitApplicationWithBundleID(const QString& bundleIdentifier) {
  const QByteArray address = bundleIdentifier.toUtf8();  // no terminating zero is sent
  AppleEvent event;
  AEInitializeDesc(&event);
  const mail::MessageFields& quit = mail::kQuitMessage;
  const OSStatus built = environment_.buildAppleEvent(
      quit.eventClass, quit.eventID, quit.addressType, address.constData(), address.size(),
      quit.returnID, quit.transactionID, &event, nullptr, "");
  if (built != noErr) return built;  // nothing was made, so nothing to dispose

  AppleEvent reply;  // no reply is asked for, so it stays empty
  AEInitializeDesc(&reply);
  const OSStatus sent = environment_.sendMessage(&event, &reply, mail::kQuitWithoutWaiting.sendMode,
                                                 mail::kQuitWithoutWaiting.timeoutTicks);
  environment_.disposeDesc(&event);
  return sent;
}

bool Uninstaller::_moveFileToUserTrash(const QString& path) {
  QString description;
  if (environment_.removeItemAtPathError(path, &description)) return true;
  environment_.log(kDeleteFailedLog, description);
  environment_.runAlertPanel(tr(kFailedTitle),
                             foundation::stringWithFormat(tr(kFailedMessage), description),
                             tr(kFailedButton), QString(), QString());
  return false;
}

QStringList Uninstaller::libraryDirectoriesInVisitOrder() const {
  QStringList directories = environment_.userLibraryDirectories();
  std::reverse(directories.begin(), directories.end());  // last entry first
  return directories;
}

FoundItem Uninstaller::findItem(const QString& libraryDirectory,
                                const RemovalTarget& target) const {
  const QString path = foundation::stringByAppendingPathComponent(
      libraryDirectory, QString::fromUtf8(target.relativePath));
  FoundItem found;
  found.remnants = environment_.remnantsOfRemovalsAtPath(path);
  if (const auto link = environment_.symbolicLinkDestinationAtPath(path)) {
    // A link to the item (a development build, say) loads it just the same, so it goes; a
    // link that leads nowhere, or to something else, is not the item.
    const bool leadsToItem =
        target.presence == RemovalTarget::Presence::Bundle ? link->isBundle : link->isDirectory;
    if (leadsToItem) {
      found.path = path;
      found.isLink = true;
    }
    return found;
  }
  switch (target.presence) {
    case RemovalTarget::Presence::Bundle:
      found.path = environment_.bundlePathForBundleAtPath(path);
      break;
    case RemovalTarget::Presence::Directory: {
      bool isDirectory = false;
      if (environment_.fileExistsAtPathIsDirectory(path, &isDirectory) && isDirectory)
        found.path = path;
      break;
    }
  }
  return found;
}

void Uninstaller::uninstall(QObject* sender) {
  // Fire and forget: whether Mail got the request changes nothing below.
  quitApplicationWithBundleID(QString::fromUtf8(mail::kMailBundleIdentifier));
  lockThenRemove(libraryDirectoriesInVisitOrder(), 0, sender);
}

void Uninstaller::lockThenRemove(const QStringList& libraries, int next, QObject* sender) {
  if (next == libraries.size()) {
    removeItems(libraries, sender);
    return;
  }
  // An update installing over the plug-in while it is deleted would leave half of each; the
  // update holds this lock from its new bundle's readiness until its exchange is on disk.
  const QString bundle =
      foundation::stringByAppendingPathComponent(libraries[next], QString::fromUtf8(targets()[0].relativePath));
  environment_.lockInstallation(
      bundle, kInstallationWait,
      [this, bundle] {
        environment_.log(kWaitingForInstallationLog, bundle);
        emit waitingForInstallation();
      },
      [this, libraries, next, sender](const std::optional<QString>& failure) {
        if (!failure) {
          lockThenRemove(libraries, next + 1, sender);
          return;
        }
        environment_.unlockInstallations();
        environment_.log(kNotLockedLog, *failure);
        environment_.runAlertPanel(kFailedTitle, foundation::stringWithFormat(kFailedMessage, *failure), kFailedButton,
                                   QString(), QString());
        environment_.terminate(sender);
      });
}

void Uninstaller::removeItems(const QStringList& libraries, QObject* sender) {
  int removedCount = 0;  // across every Library folder, never reset
  for (const QString& library : libraries) {
    for (const RemovalTarget& target : targets()) {
      const FoundItem found = findItem(library, target);
      if (!found.isPresent()) continue;
      // A target counts as removed once nothing of it is left. So a run after an
      // interrupted one, finding only remnants, completes the removal.
      bool removedAll = !found.path || _moveFileToUserTrash(*found.path);
      for (const QString& remnant : found.remnants)
        removedAll = _moveFileToUserTrash(remnant) && removedAll;
      if (removedAll) ++removedCount;
    }
    if (removedCount == kItemCount) {
      cleanUpMailTableColumns();
      environment_.runAlertPanel(tr(kCompleteTitle), tr(kCompleteMessage), tr(kCompleteButton),
                                 QString(), QString());
    }
  }
  environment_.unlockInstallations();
  environment_.terminate(sender);
}

void Uninstaller::cleanUpMailTableColumns() {
  const QString domainName = QString::fromUtf8(mail::kPreferenceDomain);
  PersistentDomainRead read = environment_.persistentDomainForName(domainName);
  if (read.error) {
    // Writing back what we could not read would destroy the user's settings.
    environment_.log(kSettingsUnreadableLog, *read.error);
    return;
  }
  if (!read.domain) return;  // no settings at all: there is nothing to clean, nothing to create

  plist::Dictionary workingCopy = *read.domain;
  if (plist::Value* tableColumns = workingCopy.find(mail::kTableColumnsKey)) {
    if (plist::Dictionary* columnsByList = tableColumns->asDictionary()) {
      const std::vector<std::string> pluginColumns(mail::kPluginColumnIdentifiers.begin(),
                                                   mail::kPluginColumnIdentifiers.end());
      for (auto&& [listName, columns] : *columnsByList) {
        // Values of another kind are not Mail's column settings; keep them as they are.
        if (plist::Dictionary* columnSettings = columns.asDictionary())
          columnSettings->removeObjectsForKeys(pluginColumns);
      }
    }
  }

  QString error;
  if (!environment_.setPersistentDomainForName(workingCopy, domainName, &error))
    environment_.log(kSettingsUnwrittenLog, error);
}
