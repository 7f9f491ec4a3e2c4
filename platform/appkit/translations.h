// The user's language for a program's windows: its own translation catalogs and Qt's.
#pragma once

#include <QString>
#include <QStringList>

namespace appkit {

// Where a program keeps its compiled catalogs (.qm): inside an application bundle
// (X.app/Contents/MacOS/X), Contents/Resources/translations; otherwise
// <prefix>/share/<dataFolderName>/translations for a program in <prefix>/bin, which is the
// layout of both the build folder and an installed package.
QString translationsDirectoryForMainBundle(const QString& dataFolderName);

// Installs on the running application, for the user's interface languages (LANGUAGE,
// LC_ALL, LC_MESSAGES, LANG, as Qt reads them), each catalog "<name>_<language>.qm" found in
// `directory`, and Qt's own catalog for its standard texts where the system has one.
// Under an English or C locale nothing is installed and every text keeps its English
// source wording. A missing or unreadable catalog is no error: its texts stay English.
// Returns the names of our catalogs that were installed. Needs a QCoreApplication.
QStringList installTranslations(const QStringList& catalogs, const QString& directory);

}  // namespace appkit
