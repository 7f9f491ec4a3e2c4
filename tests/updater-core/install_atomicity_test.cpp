// Kills a process in the middle of installing an update, at random moments, and checks that the
// installed path always holds the complete old bundle or the complete new one, and that the next
// run cleans up what the killed one left, for an install from a full archive and from a delta.
// QUILLANE_INSTALL_TRIALS sets the number of trials.
#include "updater/core/bundle_installer.h"
#include "updater/core/delta_creation.h"
#include "updater/core/ed25519_signing.h"
#include "support/archive_builder.h"
#include "support/bundle_fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace updater {
namespace {

using namespace updater::testing;

QString helperPath() {
  return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath() + QStringLiteral("/updater_core_install_helper");
}

// The delta path shares the exchange with the archive path and differs only in how the new
// bundle is built, so it gets fewer trials by default, to keep the suite's time down.
int trialCount(bool delta) {
  bool ok = false;
  const int n = qEnvironmentVariableIntValue("QUILLANE_INSTALL_TRIALS", &ok);
  return ok && n > 0 ? n : delta ? 20 : 50;
}

// The parameter: whether the update comes as a delta rather than a full archive.
class InstallAtomicityTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QFileInfo(helperPath()).isExecutable()) << helperPath().toStdString();
    bundleShape.publicEDKey = encodePublicKey(pair.publicKey);
    bundleShape.payloadFiles = 150;  // enough files that unpacking takes a while
    BundleSpec next = bundleShape;
    next.version = QStringLiteral("2.0");
    next.payloadFiles = 180;

    const QString oldBundle = makeBundle(dir.filePath(QStringLiteral("reference-old")), QStringLiteral("Quillane.mailbundle"), bundleShape);
    const QString newBundle = makeBundle(dir.filePath(QStringLiteral("reference-new")), QStringLiteral("Quillane.mailbundle"), next);
    oldTree = snapshot(oldBundle);
    newTree = snapshot(newBundle);
    QByteArray archiveBytes = buildArchive(ArchiveFormat::TarGz, entriesFromTree(newBundle, "Quillane.mailbundle"));
    if (GetParam()) {
      Result<QByteArray> delta = makeDelta(oldBundle, newBundle);
      ASSERT_TRUE(delta) << delta.error().message.toStdString();
      archiveBytes = *delta;
    }
    archive = dir.filePath(QStringLiteral("update.tar.gz"));
    writeFile(archive, archiveBytes);
    signature = signBytes(archiveBytes, pair);
    length = archiveBytes.size();
  }

  // A fresh plug-in folder holding the old bundle, already on disk: the helper flushes the
  // filesystem before its exchange, and it should flush only its own writes, as in real use.
  QString freshInstall(int trial) {
    const QString bundles = dir.filePath(QStringLiteral("trial-%1/Bundles").arg(trial));
    const QString installed = makeBundle(bundles, QStringLiteral("Quillane.mailbundle"), bundleShape);
    ::sync();
    return installed;
  }

  // Starts the helper; kills it after delayMicroseconds unless it finished. Returns its status.
  int runHelper(const QString& installed, std::optional<qint64> killAfterMicroseconds) {
    const QByteArray helper = QFile::encodeName(helperPath());
    const QByteArray installedArg = QFile::encodeName(installed);
    const QByteArray archiveArg = QFile::encodeName(archive);
    const QByteArray signatureArg = signature.toLatin1();
    const QByteArray lengthArg = QByteArray::number(length);
    char deltaArg[] = "delta";
    char* argv[] = {const_cast<char*>(helper.constData()), const_cast<char*>(installedArg.constData()),
                    const_cast<char*>(archiveArg.constData()), const_cast<char*>(signatureArg.constData()),
                    const_cast<char*>(lengthArg.constData()), GetParam() ? deltaArg : nullptr, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, helper.constData(), nullptr, nullptr, argv, environ) != 0) return -1;
    if (killAfterMicroseconds) {
      std::this_thread::sleep_for(std::chrono::microseconds(*killAfterMicroseconds));
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }

  QStringList folderEntries(const QString& installed) const {
    return QDir(QFileInfo(installed).absolutePath()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  }

  QTemporaryDir dir;
  KeyPair pair = generateKeyPair();
  BundleSpec bundleShape;
  TreeSnapshot oldTree;
  TreeSnapshot newTree;
  QString archive;
  QString signature;
  qint64 length = 0;
};

TEST_P(InstallAtomicityTest, KilledAtAnyMomentLeavesACompleteBundle) {
  // How long an undisturbed run takes here (the slowest of three), so that the kills spread
  // over all of it.
  qint64 runMicroseconds = 0;
  for (int i = 1; i <= 3; ++i) {
    const QString calibration = freshInstall(-i);
    QElapsedTimer timer;
    timer.start();
    const int status = runHelper(calibration, std::nullopt);
    runMicroseconds = std::max(runMicroseconds, timer.nsecsElapsed() / 1000);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "an undisturbed run succeeds";
    ASSERT_EQ(snapshot(calibration), newTree);
    ASSERT_EQ(folderEntries(calibration), QStringList{QStringLiteral("Quillane.mailbundle")});
  }

  QRandomGenerator random(static_cast<quint32>(runMicroseconds));
  int sawOld = 0;
  int sawNew = 0;
  const int trials = trialCount(GetParam());
  for (int trial = 0; trial < trials; ++trial) {
    const QString installed = freshInstall(trial);
    // Squared, so that more kills land early, while the bundle is unpacked and exchanged; the
    // slow flushes and clean-up after the exchange take most of a run. One draw from each of
    // `trials` equal slices, so that the kills cover the whole run however few the trials are.
    const double u = (trial + random.generateDouble()) / trials;
    const auto delay = static_cast<qint64>(u * u * static_cast<double>(runMicroseconds) * 1.2);
    runHelper(installed, delay);

    const TreeSnapshot after = snapshot(installed);
    const bool isOld = after == oldTree;
    const bool isNew = after == newTree;
    ASSERT_TRUE(isOld || isNew) << "trial " << trial << " killed after " << delay << " us: "
                                << describeDifference(newTree, after);
    (isOld ? sawOld : sawNew)++;

    // The next run cleans what the killed one left, and finishes the job if it was not done.
    QElapsedTimer rerunTimer;
    rerunTimer.start();
    const int rerun = runHelper(installed, std::nullopt);
    // A whole install done again: on a loaded machine runs grow slower than the calibration,
    // and the later kills must still reach past the exchange.
    if (isOld) runMicroseconds = std::max(runMicroseconds, rerunTimer.nsecsElapsed() / 1000);
    EXPECT_TRUE(WIFEXITED(rerun)) << "trial " << trial;
    EXPECT_EQ(WEXITSTATUS(rerun), isOld ? 0 : 1) << "trial " << trial << ": a second install of 2.0 is refused";
    EXPECT_EQ(snapshot(installed), newTree) << "trial " << trial;
    Result<int> cleaned = cleanLeftovers(installed);
    ASSERT_TRUE(cleaned);
    EXPECT_EQ(folderEntries(installed), QStringList{QStringLiteral("Quillane.mailbundle")}) << "trial " << trial;
    QDir(dir.filePath(QStringLiteral("trial-%1").arg(trial))).removeRecursively();
  }
  std::printf("%d trials over a %lld us run: %d kept the old bundle, %d had the new one\n", trials,
              static_cast<long long>(runMicroseconds), sawOld, sawNew);
  // Kills landed both before and after the exchange; otherwise the trials proved little.
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawNew, 0);
}

INSTANTIATE_TEST_SUITE_P(FromArchiveAndDelta, InstallAtomicityTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Delta" : "Archive"; });

}  // namespace
}  // namespace updater
