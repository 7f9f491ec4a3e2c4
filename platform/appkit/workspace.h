#pragma once

#include <optional>

#include <QString>
#include <QUrl>

namespace appkit {

// Finds and starts applications through their freedesktop desktop entries.
class NSWorkspace {
 public:
  static NSWorkspace& sharedWorkspace();

  // The absolute path of the desktop entry "<bundleIdentifier>.desktop" found in the XDG
  // data folders ($XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS/applications),
  // or nothing when there is none, it is hidden, or the identifier is not a plain name.
  // Nothing either, with a log line, when a file the lookup would read (the entry, an
  // association list) is a fifo, a device or a folder: it would block the lookup.
  std::optional<QString> absolutePathForAppBundleWithIdentifier(const QString& bundleIdentifier);

  // Starts the application described by the desktop entry at path (absolute). Returns
  // whether it was started; does not wait for it.
  bool launchApplicationAtPath(const QString& path);

  // Opens url in the desktop's application for its scheme (the default handler of
  // x-scheme-handler/<scheme>). Returns whether that application was started (false, with a
  // log line, when there is none or it cannot start); does not wait for it.
  bool openURL(const QUrl& url);

 private:
  NSWorkspace() = default;
};

}  // namespace appkit
