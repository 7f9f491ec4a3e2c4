// Installs a 50 MB update of a plug-in from a loopback web server with the updater
// (download, signature check, unpacking, atomic swap) and, in the same run against the same
// server, with the equivalent shell pipeline:
//   curl -o archive URL && sha256sum archive && bsdtar -xf archive -C dir && mv dir/bundle target
// Prints the median time of each and their ratio, then where the time goes: each stage of ours
// (the same steps the updater takes, run one by one) and each command of the pipeline.
//
//   updater_install_bench [rounds]      (default 5; work files go under $TMPDIR or /tmp)

#include "bench_support.h"

#include "updater/core/bundle_info.h"
#include "updater/core/bundle_installer.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/staging_area.h"
#include "updater/core/streaming_signature_verifier.h"
#include "updater/core/update_preparation.h"
#include "updater/download.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kPayloadFiles = 50;
constexpr qint64 kPayloadFileBytes = 1024 * 1024;  // 50 files x 1 MB, incompressible

using bench::die;
using bench::infoPlist;
using bench::median;
using bench::randomBytes;
using bench::run;
using bench::writeFile;

template <typename T>
T valueOf(updater::Result<T> result) {
  if (!result) die(result.error().message);
  return std::move(result).value();
}

// Seconds per stage, in the order of kStages.
constexpr std::array<const char*, 6> kStages = {"download", "verify", "unpack", "validate", "flush", "exchange"};
using Stages = std::array<double, kStages.size()>;

class StageClock {
 public:
  StageClock() { clock_.start(); }
  void lap(Stages& stages, std::size_t stage) {
    stages[stage] += clock_.nsecsElapsed() / 1e9;
    clock_.restart();
  }

 private:
  QElapsedTimer clock_;
};

void printStages(const char* who, const std::vector<Stages>& rounds, const std::array<bool, kStages.size()>& present) {
  std::printf("%-10s", who);
  double total = 0;
  for (std::size_t stage = 0; stage < kStages.size(); ++stage) {
    std::vector<double> values;
    for (const Stages& round : rounds) values.push_back(round[stage]);
    const double m = median(values);
    total += m;
    if (present[stage]) {
      std::printf(" %9.3f", m);
    } else {
      std::printf(" %9s", "-");
    }
  }
  std::printf(" %9.3f\n", total);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const bench::Workspace work(QStringLiteral("updater-bench"));
  const QString &publisher = work.publisher, &serve = work.serve, &key = work.key, &publicKey = work.publicKey;

  // The new version: 50 MB of incompressible resources.
  const QString source = work.filePath(QStringLiteral("source/Quillane.mailbundle"));
  quint64 seed = 0x9E3779B97F4A7C15ull;
  const quint16 port = bench::freePort();
  const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(port);
  writeFile(source + QStringLiteral("/Contents/Info.plist"),
            infoPlist(QStringLiteral("2.0"), base + QStringLiteral("appcast.xml"), publicKey));
  writeFile(source + QStringLiteral("/Contents/MacOS/Quillane"), "#!/bin/sh\n", true);
  for (int i = 0; i < kPayloadFiles; ++i)
    writeFile(source + QStringLiteral("/Contents/Resources/part%1.dat").arg(i), randomBytes(kPayloadFileBytes, seed));
  const QString archive = serve + QStringLiteral("/Quillane-2.0.tar.gz");
  run(QStringLiteral("bsdtar"), {QStringLiteral("-czf"), archive, QStringLiteral("-C"),
                                 work.filePath(QStringLiteral("source")), QStringLiteral("Quillane.mailbundle")});
  run(publisher, {QStringLiteral("feed"), QStringLiteral("--feed"), serve + QStringLiteral("/appcast.xml"),
                  QStringLiteral("--archive"), archive, QStringLiteral("--url"),
                  base + QStringLiteral("Quillane-2.0.tar.gz"), QStringLiteral("--key"), key});

  // One server for both contenders, in a process of its own.
  bench::WebServer server(serve, port);

  const QString installed = work.filePath(QStringLiteral("Library/Mail/Bundles/Quillane.mailbundle"));
  const QByteArray oldInfo = infoPlist(QStringLiteral("1.0"), base + QStringLiteral("appcast.xml"), publicKey);
  auto installOld = [&] {
    QDir(installed).removeRecursively();
    writeFile(installed + QStringLiteral("/Contents/Info.plist"), oldInfo);
    writeFile(installed + QStringLiteral("/Contents/MacOS/Quillane"), "#!/bin/sh\n", true);
  };
  installOld();
  bench::TimedUpdater updater(installed);

  auto timeUpdater = [&] {
    installOld();
    const double seconds = updater.checkInBackground();
    if (!QFile::exists(installed + QStringLiteral("/Contents/Resources/part0.dat")))
      die(QStringLiteral("the updater did not install the update (see its log lines)"));
    return seconds;
  };

  const QString pipelineDir = work.filePath(QStringLiteral("pipeline"));
  const QString script = QStringLiteral(
      "set -e; curl -sSf -o \"$1/a.tar.gz\" \"$2\"; sha256sum \"$1/a.tar.gz\" > /dev/null; "
      "mkdir \"$1/x\"; bsdtar -xf \"$1/a.tar.gz\" -C \"$1/x\"; mv \"$1/x/Quillane.mailbundle\" \"$1/target\"");
  auto timePipeline = [&] {
    QDir(pipelineDir).removeRecursively();
    QDir().mkpath(pipelineDir);
    QElapsedTimer clock;
    clock.start();
    run(QStringLiteral("bash"), {QStringLiteral("-c"), script, QStringLiteral("bench"), pipelineDir,
                                 base + QStringLiteral("Quillane-2.0.tar.gz")});
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!QFile::exists(pipelineDir + QStringLiteral("/target/Contents/Resources/part0.dat")))
      die(QStringLiteral("the pipeline did not install the update"));
    return seconds;
  };

  // Ours, stage by stage: the steps of an update run, each timed on its own.
  const QString archiveUrl = base + QStringLiteral("Quillane-2.0.tar.gz");
  QNetworkAccessManager network;
  const QString signature = [&] {
    QFile feed(serve + QStringLiteral("/appcast.xml"));
    if (!feed.open(QIODevice::ReadOnly)) die(QStringLiteral("no feed"));
    const QByteArray xml = feed.readAll();
    const qsizetype at = xml.indexOf("sparkle:edSignature=\"") + 21;
    return QString::fromLatin1(xml.mid(at, xml.indexOf('"', at) - at));
  }();
  updater::AppcastItem item;
  item.edSignature = signature;
  item.contentLength = QFileInfo(archive).size();
  double wholeFileVerify = 0, reflush = 0;
  auto stageUpdater = [&] {
    installOld();
    Stages stages{};
    const updater::BundleInfo installedInfo = valueOf(updater::readBundleInfo(installed));
    const updater::PublicKey key = valueOf(updater::decodePublicKey(publicKey));
    std::optional<updater::StagingArea> staging(valueOf(updater::StagingArea::create(installed)));
    const QString archivePath = staging->filePath(QStringLiteral("archive"));
    StageClock clock;
    std::optional<updater::StreamingSignatureVerifier> verifier(valueOf(updater::StreamingSignatureVerifier::create(signature, key)));
    updater::DownloadLimits limits;
    limits.maxBytes = limits.exactBytes = item.contentLength;
    updater::Download download(network, QUrl(archiveUrl), limits);
    download.setDestinationFile(archivePath);
    download.setBodyObserver([&](const QByteArray& chunk) { verifier->update(chunk); });
    QEventLoop loop;
    bool downloaded = false;
    download.start([&](const updater::DownloadResult& result) {
      downloaded = result.ok;
      loop.quit();
    });
    loop.exec();
    if (!downloaded) die(QStringLiteral("the staged download failed"));
    clock.lap(stages, 0);
    if (!verifier->finish(archivePath)) die(QStringLiteral("the staged signature check failed"));
    clock.lap(stages, 1);
    // The previous method, a second pass over the stored archive, timed for comparison only.
    QElapsedTimer previous;
    previous.start();
    if (!updater::verifyArchiveSignature(archivePath, signature, item.contentLength, key)) die(QStringLiteral("whole-file check failed"));
    wholeFileVerify = previous.nsecsElapsed() / 1e9;
    clock = StageClock();
    updater::Result<QString> bundle = updater::extractArchive(archivePath, staging->extractionPath());
    if (!bundle) die(bundle.error().message);
    QFile::remove(archivePath);
    clock.lap(stages, 2);
    if (!updater::validateUpdateBundle(*bundle, installedInfo)) die(QStringLiteral("the staged bundle is not valid"));
    clock.lap(stages, 3);
    if (!updater::flushBundle(*bundle)) die(QStringLiteral("the staged flush failed"));
    clock.lap(stages, 4);
    // installBundle() flushes again before it exchanges: what that costs once flushed.
    QElapsedTimer again;
    again.start();
    if (!updater::flushBundle(*bundle)) die(QStringLiteral("the second flush failed"));
    reflush = again.nsecsElapsed() / 1e9;
    clock = StageClock();
    if (!updater::installBundle(*bundle, installed)) die(QStringLiteral("the staged exchange failed"));
    clock.lap(stages, 5);
    return stages;
  };
  auto stagePipeline = [&] {
    QDir(pipelineDir).removeRecursively();
    QDir().mkpath(pipelineDir + QStringLiteral("/x"));
    Stages stages{};
    StageClock clock;
    run(QStringLiteral("curl"), {QStringLiteral("-sSf"), QStringLiteral("-o"), pipelineDir + QStringLiteral("/a.tar.gz"), archiveUrl});
    clock.lap(stages, 0);
    run(QStringLiteral("sha256sum"), {pipelineDir + QStringLiteral("/a.tar.gz")});
    clock.lap(stages, 1);
    run(QStringLiteral("bsdtar"), {QStringLiteral("-xf"), pipelineDir + QStringLiteral("/a.tar.gz"), QStringLiteral("-C"), pipelineDir + QStringLiteral("/x")});
    clock.lap(stages, 2);
    run(QStringLiteral("mv"), {pipelineDir + QStringLiteral("/x/Quillane.mailbundle"), pipelineDir + QStringLiteral("/target")});
    clock.lap(stages, 5);
    return stages;
  };

  std::printf("archive: %.1f MB, %d rounds (plus one warm-up)\n", QFileInfo(archive).size() / 1e6, rounds);
  timeUpdater();
  timePipeline();
  std::vector<double> ours, pipeline;
  for (int i = 0; i < rounds; ++i) {
    ours.push_back(timeUpdater());
    pipeline.push_back(timePipeline());
  }
  std::vector<Stages> ourStages, pipelineStages;
  std::vector<double> wholeFileVerifies, reflushes;
  for (int i = 0; i < rounds; ++i) {
    ourStages.push_back(stageUpdater());
    wholeFileVerifies.push_back(wholeFileVerify);
    reflushes.push_back(reflush);
    pipelineStages.push_back(stagePipeline());
  }

  const double a = median(ours), b = median(pipeline);
  std::printf("updater (download, verify, extract, swap):   %.3f s (median)\n", a);
  std::printf("curl + sha256sum + bsdtar -x + mv:           %.3f s (median)\n", b);
  std::printf("ratio updater / pipeline:                    %.2f (goal <= 1.00)\n", a / b);
  std::printf("\nstages, median seconds (each step on its own; - : the pipeline has no such step)\n%-10s", "");
  for (const char* stage : kStages) std::printf(" %9s", stage);
  std::printf(" %9s\n", "sum");
  printStages("updater", ourStages, {true, true, true, true, true, true});
  printStages("pipeline", pipelineStages, {true, true, true, false, false, true});
  std::printf("updater's verify is what remains after the download hashed the archive on the way;\n"
              "a second pass over the stored archive (the former check) takes %.3f s here;\n"
              "its exchange includes installBundle()'s own flush of the flushed bundle, %.3f s alone\n",
              median(wholeFileVerifies), median(reflushes));
  return 0;
}
