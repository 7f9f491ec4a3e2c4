// The version the user chose to skip, kept in the plug-in's own preference domain (named
// after its bundle identifier) under "SUSkippedVersion", so background checks stop offering
// it. A later version is offered again.
#pragma once

#include "updater/core/result.h"

#include <QString>

namespace updater {

inline const QString kSkippedVersionKey = QStringLiteral("SUSkippedVersion");

// The skipped version in `domain`, or "" when none is recorded or the domain cannot be read.
QString skippedVersion(const QString& domain);

// Records `version` as skipped, keeping every other key of the domain. A domain file that
// exists but cannot be read is left as it is and the failure is returned.
Status rememberSkippedVersion(const QString& domain, const QString& version);

}  // namespace updater
