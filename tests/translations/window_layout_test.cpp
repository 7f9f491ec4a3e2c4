// Every window in a test language whose texts are 40 % longer than English, once left to
// right and once right to left: no text may be clipped, pushed out of its window or left
// untranslated, and right to left must mirror the rows and buttons.
#include "appkit/alert.h"
#include "installed_plugin.h"
#include "removal-tool/item_list.h"
#include "removal-tool/platform_environment.h"
#include "removal-tool/uninstaller.h"
#include "removal-tool/uninstaller_window.h"
#include "updater/ui/update_alert.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <gtest/gtest.h>

namespace {

// The test language: each text bracketed, its vowels accented and padded with extra words
// to 1.4 times its length. Placeholders (%1, %@) and line breaks stay as they are.
class LongerTexts : public QTranslator {
 public:
  QString translate(const char*, const char* source, const char*, int) const override {
    const QString text = QString::fromUtf8(source);
    static const QString plain = QStringLiteral("aeiouAEIOU");
    static const QString accented = QStringLiteral("áéíóúÁÉÍÓÚ");
    QString longer;
    for (qsizetype i = 0; i < text.size(); ++i) {
      const qsizetype vowel = plain.indexOf(text[i]);
      longer += vowel >= 0 && (i == 0 || text[i - 1] != u'%') ? accented[vowel] : text[i];
    }
    const qsizetype extra = (text.size() * 2 + 4) / 5;
    for (qsizetype added = 0; added < extra; added += 5) longer += QStringLiteral(" ẍẍẍẍ");
    return u'[' + longer + u']';
  }
  bool isEmpty() const override { return false; }
};

bool isOurText(const QString& text) {
  // Paths and sizes come from the machine, not from us.
  static const QRegularExpression machine(QStringLiteral("^(~|/|[0-9])"));
  return !text.isEmpty() && !machine.match(text).hasMatch();
}

// Checks each visible label and button of `window`: whole inside its parent and its window,
// given at least the room its text asks for, and in the test language.
void expectNothingClipped(QWidget* window, const char* which) {
  const QRect windowArea = window->rect();
  int checked = 0;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(window)) continue;
    QString text;
    QSize needed;
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      text = label->text();
      needed = label->wordWrap() ? QSize(label->minimumSizeHint().width(),
                                         label->heightForWidth(label->width()))
                                 : label->sizeHint();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      text = button->text();
      needed = button->sizeHint();
    } else {
      continue;
    }
    if (text.isEmpty()) continue;
    ++checked;
    const std::string what = std::string(which) + ": \"" + text.toStdString() + "\"";
    EXPECT_GE(widget->width(), needed.width()) << what << " is cut short";
    EXPECT_GE(widget->height(), needed.height()) << what << " is cut off below";
    EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()))
        << what << " reaches out of its parent";
    EXPECT_TRUE(windowArea.contains(QRect(widget->mapTo(window, QPoint()), widget->size())))
        << what << " reaches out of the window";
    if (isOurText(text)) {
      EXPECT_TRUE(text.startsWith(u'[') && text.endsWith(u']')) << what << " escaped translation";
    }
  }
  EXPECT_GE(checked, 2) << which;
}

void showAndSettle(QWidget& window) {
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QApplication::processEvents();
}

class WindowLayoutTest : public ::testing::TestWithParam<Qt::LayoutDirection> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing_support::homeIsSandbox()) << "run through CTest, in a sandbox home";
    QCoreApplication::installTranslator(&translator);
    QApplication::setLayoutDirection(GetParam());
  }
  void TearDown() override {
    QCoreApplication::removeTranslator(&translator);
    QApplication::setLayoutDirection(Qt::LeftToRight);
  }
  bool rightToLeft() const { return GetParam() == Qt::RightToLeft; }

  LongerTexts translator;
};

class KeptEnvironment : public PlatformEnvironment {
  void terminate(QObject*) override {}
};

TEST_P(WindowLayoutTest, RemovalToolWindow) {
  const QString library = QDir::homePath() + "/Library";
  testing_support::removeTree(library);
  testing_support::installPlugin(library);
  KeptEnvironment environment;
  Uninstaller uninstaller(environment);
  UninstallerWindow window(uninstaller);
  showAndSettle(window);
  QTRY_VERIFY(!window.findChild<QLabel*>("size0")->text().contains(u'…'));
  QApplication::processEvents();  // the layout takes in the sizes
  expectNothingClipped(&window, "removal tool");
  const auto rows = window.findChildren<ItemRow*>();
  ASSERT_EQ(rows.size(), 3);
  for (const ItemRow* row : rows) {
    const QLabel* place = row->findChildren<QLabel*>().at(1);
    EXPECT_EQ(row->kindLabel()->x() > place->x(), rightToLeft()) << "the row's kind comes first";
  }
  testing_support::removeTree(library);
}

TEST_P(WindowLayoutTest, UpdatePromptAndProgress) {
  updater::UpdateAlert window;
  updater::UpdateOffer offer{"Quillane", "1.0", "2.0", false, false};
  window.showOffer(offer, [](updater::UpdateChoice) {});
  window.setReleaseNotes(QStringLiteral("<p>Searches are faster.</p>"), true);
  showAndSettle(window);
  expectNothingClipped(&window, "update prompt");
  auto* install = window.findChild<QPushButton*>("installButton");
  auto* skip = window.findChild<QPushButton*>("skipButton");
  EXPECT_EQ(skip->x() > install->x(), rightToLeft());

  offer.informational = true;
  window.showOffer(offer, [](updater::UpdateChoice) {});
  QApplication::processEvents();
  expectNothingClipped(&window, "informational offer");

  window.showProgress(QCoreApplication::translate("updater::UpdateRun", "Verifying update…"), 1,
                      2, [] {});
  QApplication::processEvents();
  expectNothingClipped(&window, "progress");
}

TEST_P(WindowLayoutTest, AlertPanel) {
  bool inspected = false;
  QTimer::singleShot(0, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* alert = qobject_cast<QMessageBox*>(widget);
      if (!alert || !alert->isVisible()) continue;
      QApplication::processEvents();
      expectNothingClipped(alert, "alert");
      inspected = true;
      alert->accept();
    }
  });
  appkit::NSRunAlertPanel(QCoreApplication::translate("Uninstaller", "Uninstall Not Successful"),
                          QCoreApplication::translate("Uninstaller", "Quillane 2 was not successfully removed.  The following error occurred\n%@"),
                          QCoreApplication::translate("Uninstaller", "OK"), QString(), QString());
  EXPECT_TRUE(inspected);
}

INSTANTIATE_TEST_SUITE_P(Directions, WindowLayoutTest,
                         ::testing::Values(Qt::LeftToRight, Qt::RightToLeft),
                         [](const auto& info) {
                           return info.param == Qt::RightToLeft ? "RightToLeft" : "LeftToRight";
                         });

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
