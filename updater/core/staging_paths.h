// Names of the staging folders kept next to an installed bundle (internal to the updater's core).
#pragma once

#include <QString>

namespace updater {

// ".<bundle name>.update-": the prefix of every staging folder of that bundle.
QString stagingPrefix(const QString& bundleName);

// Whether fileName is a staging folder name of that bundle: the prefix and six more characters,
// as mkdtemp() makes them.
bool isStagingName(const QString& fileName, const QString& bundleName);

}  // namespace updater
