// Which catalog a program loads for the user's languages. Each case runs this program again
// with a given environment, since a process reads its languages once.
#include "appkit/translations.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const char* gProgram = nullptr;

// Runs the child with `environment` over a clean language setting; returns what it printed:
// "<installed catalogs>|<"Cancel" as translated>|<LTR or RTL>".
QString runWith(const QString& directory, const QStringList& environment) {
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) env.remove(name);
  for (const QString& setting : environment)
    env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
  child.setProcessEnvironment(env);
  child.start(QString::fromLocal8Bit(gProgram), {QStringLiteral("--child"), directory});
  EXPECT_TRUE(child.waitForFinished(30000));
  return QString::fromUtf8(child.readAllStandardOutput()).trimmed();
}

class TranslationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QString built = qEnvironmentVariable("QUILLANE_BUILD_DIR") +
                          QStringLiteral("/share/quillane-remover/translations/");
    ASSERT_TRUE(catalogs.isValid());
    for (const char* language : {"de", "fr"})
      ASSERT_TRUE(QFile::copy(built + "quillane-remover_" + language + ".qm",
                              catalogs.filePath(QStringLiteral("quillane-remover_%1.qm").arg(language))));
    // A right-to-left language, for the layout: the German texts under Hebrew's name.
    ASSERT_TRUE(QFile::copy(built + "quillane-remover_de.qm", catalogs.filePath("quillane-remover_he.qm")));
  }
  QString run(const QStringList& environment) { return runWith(catalogs.path(), environment); }

  QTemporaryDir catalogs;
};

TEST_F(TranslationsTest, TheUsersLanguageWhenShippedElseTheNextPreferredElseEnglish) {
  EXPECT_EQ(run({"LANG=de_DE.UTF-8"}), "quillane-remover|Abbrechen|LTR");
  EXPECT_EQ(run({"LANG=fr_CA.UTF-8"}), "quillane-remover|Annuler|LTR") << "a region falls back to its language";
  EXPECT_EQ(run({"LANG=de_DE.UTF-8", "LANGUAGE=es:fr:de"}), "quillane-remover|Annuler|LTR");
  EXPECT_EQ(run({"LANG=es_ES.UTF-8"}), "|Cancel|LTR") << "a language not shipped";
  EXPECT_EQ(run({"LANG=C"}), "|Cancel|LTR");
  EXPECT_EQ(run({"LANG=C.UTF-8"}), "|Cancel|LTR");
  EXPECT_EQ(run({"LANG=de_DE.UTF-8", "LC_ALL=C"}), "|Cancel|LTR") << "LC_ALL overrides LANG";
  EXPECT_EQ(run({"LANG=de_DE.UTF-8", "LANGUAGE=en:de"}), "|Cancel|LTR") << "English preferred";
  EXPECT_EQ(run({"LANG=he_IL.UTF-8"}), "quillane-remover|Abbrechen|RTL");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && QByteArray(argv[1]) == "--child") {
    QApplication app(argc, argv);
    const QStringList installed =
        appkit::installTranslations({QStringLiteral("quillane-remover")}, QString::fromLocal8Bit(argv[2]));
    const QString cancel = QCoreApplication::translate("UninstallerWindow", "Cancel");
    const char* direction = QGuiApplication::layoutDirection() == Qt::RightToLeft ? "RTL" : "LTR";
    printf("%s|%s|%s\n", qPrintable(installed.join(u',')), qPrintable(cancel), direction);
    return 0;
  }
  gProgram = argv[0];
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
