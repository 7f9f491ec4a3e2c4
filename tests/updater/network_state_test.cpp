// Runs as the desktop's network state shapes them: a mocked NetworkManager (python3-dbusmock,
// values typed inside our own template) on a private system bus this program starts.
#include "run_harness.h"
#include "test_support.h"
#include "update_fixture.h"

#include "network/network_state.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

const QString kNetworkManager = QStringLiteral("org.freedesktop.NetworkManager");

// A private system bus for the whole program, started before anything asks for one.
class PrivateSystemBus : public testing::Environment {
 public:
  void SetUp() override {
    const QString socket = qEnvironmentVariable("TMPDIR", QStringLiteral("/tmp")) + QStringLiteral("/system-bus");
    daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address=1"),
                                                  QStringLiteral("--address=unix:path=") + socket});
    ASSERT_TRUE(daemon_.waitForReadyRead(10000)) << "dbus-daemon did not start";
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_.readLine().trimmed());
  }
  void TearDown() override {
    daemon_.terminate();
    daemon_.waitForFinished(5000);
  }

 private:
  QProcess daemon_;
};

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new PrivateSystemBus);

bool networkManagerOnBus() {
  return QDBusConnection::systemBus().interface()->isServiceRegistered(kNetworkManager);
}

// NetworkManager saying `connectivity` and `metered` (its own numbers) while it lives.
class MockNetworkManager {
 public:
  MockNetworkManager(int connectivity, int metered) {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                    QStringLiteral(QUILLANE_NM_TEMPLATE), QStringLiteral("--parameters"),
                    QStringLiteral("{\"Connectivity\": %1, \"Metered\": %2}").arg(connectivity).arg(metered)});
    EXPECT_TRUE(waitUntil(networkManagerOnBus, 20000)) << "the mock never claimed its name";
  }
  ~MockNetworkManager() {
    process_.terminate();
    process_.waitForFinished(5000);
    waitUntil([] { return !networkManagerOnBus(); }, 5000);
  }

 private:
  QProcess process_;
};

QWidget* visibleWindow(const QString& objectName) {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->isVisible() && widget->objectName() == objectName) return widget;
  return nullptr;
}

bool windowSays(const QString& objectName, const QString& words) {
  QWidget* window = visibleWindow(objectName);
  if (!window) return false;
  for (QLabel* label : window->findChildren<QLabel*>())
    if (label->text().contains(words)) return true;
  return false;
}

class NetworkStateTest : public testing::Test {
 protected:
  // An installed 1.0 that updates itself, and a 1.1 of about 2 MiB on offer.
  void SetUp() override {
    BundleSpec installed;
    installed.automaticallyUpdate = true;
    fixture.install(installed);
    BundleSpec next;
    next.version = QStringLiteral("1.1");
    next.automaticallyUpdate = true;
    next.payload.resize(2 * 1024 * 1024);
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32*>(next.payload.data()), next.payload.size() / 4);
    fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next));
    updater = updaterAt(fixture.pluginPath());
    ASSERT_NE(updater, nullptr);
    updater->setDelegate(&delegate);
  }
  void TearDown() override { updater->setDelegate(nullptr); }

  void backgroundCheck() {
    FinishedCounter finished(updater);
    updater->checkForUpdatesInBackground();
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 60000));
    spin(100);
  }
  int archiveRequests() { return fixture.server().served(QStringLiteral("/Quillane-1.1.tar.gz")).requests; }

  UpdateFixture fixture;
  RecordingDelegate delegate;
  updater::SUUpdater* updater = nullptr;
};

TEST_F(NetworkStateTest, TheStateIsReadAsNetworkManagerPublishesIt) {
  EXPECT_EQ(network::currentNetworkState().connectivity, network::Connectivity::Unknown) << "none on the bus";
  MockNetworkManager meteredGuess(3, 3);
  const network::NetworkState state = network::currentNetworkState();
  EXPECT_EQ(state.connectivity, network::Connectivity::Limited);
  EXPECT_EQ(state.metered, network::Metered::Yes);
}

TEST_F(NetworkStateTest, AMeteredConnectionHoldsABackgroundDownloadButNotOneTheUserAskedFor) {
  MockNetworkManager metered(4, 1);
  backgroundCheck();
  EXPECT_EQ(archiveRequests(), 0);
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));
  EXPECT_EQ(visibleWindow(QStringLiteral("SUUpdateAlert")), nullptr);

  FinishedCounter finished(updater);
  updater->checkForUpdates(nullptr);
  ASSERT_TRUE(waitUntil([] { return visibleWindow(QStringLiteral("SUUpdateAlert")) != nullptr; }));
  visibleWindow(QStringLiteral("SUUpdateAlert"))->findChild<QPushButton*>(QStringLiteral("installButton"))->click();
  bool toldMetered = false;
  ASSERT_TRUE(waitUntil([&] {
    toldMetered = toldMetered || windowSays(QStringLiteral("SUUpdateAlert"), QStringLiteral("metered connection"));
    return finished.count() > 0;
  }, 60000));
  EXPECT_TRUE(toldMetered);
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.1"));
}

TEST_F(NetworkStateTest, AnOfflineBackgroundCheckEndsQuietly) {
  MockNetworkManager offline(1, 0);
  backgroundCheck();
  EXPECT_EQ(fixture.server().served(QStringLiteral("/appcast.xml")).requests, 0);
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
  EXPECT_EQ(visibleWindow(QStringLiteral("NSRunAlertPanel")), nullptr);
}

}  // namespace
