#pragma once

#include <optional>

#include <QString>

#include "plist/value.h"

namespace foundation {

// A bundle is a directory; for applications, X.app with Contents/Info.plist and the
// executable at Contents/MacOS/X.
class NSBundle {
 public:
  // The bundle at path, or nothing unless path names a directory this process can open.
  // A symbolic link at the path is not a bundle (it is never followed somewhere else).
  static std::optional<NSBundle> bundleWithPath(const QString& path);

  // The bundle of the module (executable or shared library) that holds addressInClass, e.g.
  // the address of a function of the class: the X.app directory when the module lies at
  // X.app/Contents/MacOS/<file>, else the module's own directory. Nothing when the address
  // belongs to no loaded module.
  static std::optional<NSBundle> bundleForClass(const void* addressInClass);

  // The same rule applied to the running executable.
  static std::optional<NSBundle> mainBundle();

  // The absolute path of the bundle directory, without a trailing "/".
  QString bundlePath() const { return path_; }

  // The top-level dictionary of Contents/Info.plist; nothing when that file is missing,
  // unreadable, not a regular file, not a property list or not a dictionary.
  std::optional<plist::Dictionary> infoDictionary() const;

  // CFBundleIdentifier from the info dictionary, or "" when there is none.
  QString bundleIdentifier() const;

 private:
  explicit NSBundle(QString absolutePath) : path_(std::move(absolutePath)) {}
  QString path_;
};

}  // namespace foundation
