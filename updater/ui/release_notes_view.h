// The release notes of an offered update: rich text from the network, shown read-only.
// Assistive tools see it as a document named "Release Notes" whose text they can read,
// not as an unnamed edit field.
#pragma once

#include <QTextBrowser>

namespace updater {

class ReleaseNotesView : public QTextBrowser {
  Q_OBJECT
 public:
  explicit ReleaseNotesView(QWidget* parent = nullptr);

  // Release notes come from the network: show their text and markup, but fetch nothing
  // they refer to (images, style sheets, local files).
  QVariant loadResource(int type, const QUrl& name) override;
};

}  // namespace updater
