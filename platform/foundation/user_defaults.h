#pragma once
// Persistent preference domains: domain NAME is the property-list file
// $HOME/Library/Preferences/NAME.plist, whose top level is a dictionary.

#include <QString>

#include <map>
#include <mutex>
#include <optional>

#include "plist/expected.h"
#include "plist/file.h"
#include "plist/plist.h"

namespace foundation {

class NSUserDefaults {
 public:
  template <typename T>
  using Result = plist::Expected<T, QString>;  // error: a readable message
  using Status = plist::Expected<void, QString>;

  // Domains in the user's Preferences folder, found through HOME (else the password database)
  // at each call.
  static NSUserDefaults& standardUserDefaults();

  // Domains in preferencesDirectory, whose file replacements go through ops (not owned; tests
  // pass failing ones). An empty directory means the user's Preferences folder.
  explicit NSUserDefaults(QString preferencesDirectory = {}, plist::FileOps* ops = nullptr);

  // The domain's dictionary; nothing when its file does not exist; an error when the file
  // exists but cannot be read or parsed, or its top level is not a dictionary. Remembers the
  // format (binary or XML) the file was in.
  Result<std::optional<plist::Dictionary>> persistentDomainForName(const QString& name);

  // Replaces the whole domain atomically, in the format it was last read or found in (binary
  // for a new file), keeping the file's mode. Nothing changes nothing on disk and is not an
  // error (the domain stays as it is, absent if it was). On failure the old file is left as it
  // was and no temporary file remains.
  Status setPersistentDomainForName(const std::optional<plist::Dictionary>& domain, const QString& name);

  // The file that holds domain name, or an error for a name that cannot be a file name
  // (empty, "." or "..", containing "/" or NUL) or when there is no home folder.
  Result<QString> pathForDomain(const QString& name) const;

 private:
  QString preferencesDirectory() const;

  QString directory_;
  plist::FileOps* ops_;
  std::mutex mutex_;  // guards formats_
  std::map<QString, plist::Format> formats_;  // by file path: the format last read
};

}  // namespace foundation
