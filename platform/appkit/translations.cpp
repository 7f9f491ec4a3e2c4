#include "appkit/translations.h"

#include "foundation/bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace appkit {

QString translationsDirectoryForMainBundle(const QString& dataFolderName) {
  const std::optional<foundation::NSBundle> bundle = foundation::NSBundle::mainBundle();
  if (bundle && bundle->bundlePath().endsWith(QLatin1String(".app")))
    return bundle->bundlePath() + QStringLiteral("/Contents/Resources/translations");
  return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/") +
                         dataFolderName + QStringLiteral("/translations"));
}

namespace {

// The translator lives as long as the application, which owns it.
bool install(const QString& fileName, const QString& directory) {
  auto* translator = new QTranslator(QCoreApplication::instance());
  // "name_de_CH" falls back to "name_de"; the delimiters exclude the bare "name".
  if (!translator->load(fileName, directory, QStringLiteral("_")) ||
      !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return false;
  }
  return true;
}

}  // namespace

QStringList installTranslations(const QStringList& catalogs, const QString& directory) {
  QStringList installed;
  if (!QCoreApplication::instance()) return installed;
  // The user's languages in order of preference. English is the source language, so
  // reaching it (or the C locale) means every text stays exactly as written.
  for (QString language : QLocale::system().uiLanguages()) {
    language.replace(QLatin1Char('-'), QLatin1Char('_'));
    if (language == QLatin1String("C") || language == QLatin1String("POSIX") ||
        language == QLatin1String("en") || language.startsWith(QLatin1String("en_")))
      break;
    for (const QString& catalog : catalogs)
      if (install(catalog + QLatin1Char('_') + language, directory)) installed << catalog;
    if (installed.isEmpty()) continue;  // not a language we ship: try the next one
    // Windows mirror for a language written right to left, whether or not Qt's own
    // catalog (which would say so too) is on the system.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
      QGuiApplication::setLayoutDirection(QLocale(language).textDirection());
    // The standard texts of Qt's own widgets (a text field's context menu, say), when the
    // system carries Qt's translations; a Mail host need not.
    install(QStringLiteral("qtbase_") + language,
            QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    break;
  }
  return installed;
}

}  // namespace appkit
