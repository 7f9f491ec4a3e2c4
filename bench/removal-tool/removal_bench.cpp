// Two measurements of the removal tool, each against a baseline run on the same machine in
// the same run:
//  1. deleting a plug-in bundle of 20,000 small files through the controller's item
//     deletion, against `rm -rf` of an identical tree;
//  2. the time from starting the program to its window being on screen (offscreen), with
//     that bundle installed, against a bare Qt Widgets program showing one small window.
//
//   removal_bench [rounds] [folder]
// rounds: default 5, medians are printed; folder: where the trees are made (default: the
// temporary folder). Both trees are always on the same file system.
#include "removal-tool/platform_environment.h"
#include "removal-tool/uninstaller.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 200;  // 20,000 files in all

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool makeBundle(const QString& path) {
  for (int folder = 0; folder < kFolders; ++folder) {
    const QString dir = QStringLiteral("%1/Contents/Resources/group%2").arg(path).arg(folder);
    if (!QDir().mkpath(dir)) return false;
    for (int file = 0; file < kFilesPerFolder; ++file) {
      QFile out(QStringLiteral("%1/item%2.strings").arg(dir).arg(file));
      if (!out.open(QIODevice::WriteOnly)) return false;
      out.write(QByteArray(64 + (file * 7) % 200, 'q'));
    }
  }
  return true;
}

// The window of `program` is shown: nanoseconds on the monotonic clock, from the robot.
std::optional<double> millisecondsToWindow(const QString& program, const QString& home,
                                           const QString& pluginDir) {
  const QString report = home + "/robot.txt";
  QFile::remove(report);
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("HOME", home);
  environment.insert("XDG_RUNTIME_DIR", home + "/run");
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("QT_PLUGIN_PATH", pluginDir);
  environment.insert("QT_QPA_GENERIC_PLUGINS", "keyboardrobot:Escape;report=" + report);
  environment.remove("DBUS_SESSION_BUS_ADDRESS");  // nothing here needs a bus
  process.setProcessEnvironment(environment);
  process.setProcessChannelMode(QProcess::ForwardedChannels);
  timespec started{};
  clock_gettime(CLOCK_MONOTONIC, &started);
  process.start(program, {});
  if (!process.waitForFinished(30000)) {
    process.kill();
    process.waitForFinished();
    return std::nullopt;
  }
  QFile file(report);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  for (const QByteArray& line : file.readAll().split('\n')) {
    if (!line.startsWith("window-shown ")) continue;
    const double shown = line.mid(13).toDouble();
    return (shown - (double(started.tv_sec) * 1e9 + double(started.tv_nsec))) / 1e6;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  QTemporaryDir work(argc > 2 ? QString::fromLocal8Bit(argv[2]) + "/removal-bench-XXXXXX"
                              : QDir::tempPath() + "/removal-bench-XXXXXX");
  if (!work.isValid()) {
    std::fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }

  // ---- 1. Deleting a bundle of 20,000 files ----
  PlatformEnvironment environment;
  Uninstaller uninstaller(environment);
  std::vector<double> ours, rmrf;
  for (int round = 0; round < rounds; ++round) {
    const QString mine = work.path() + "/ours/Quillane.mailbundle";
    const QString theirs = work.path() + "/rm/Quillane.mailbundle";
    if (!makeBundle(mine) || !makeBundle(theirs)) {
      std::fprintf(stderr, "cannot build the test bundles\n");
      return 1;
    }
    auto measureOurs = [&] {
      const auto start = Clock::now();
      const bool removed = uninstaller._moveFileToUserTrash(mine);
      ours.push_back(millisecondsSince(start));
      return removed;
    };
    auto measureRm = [&] {
      const auto start = Clock::now();
      const int status = QProcess::execute("rm", {"-rf", theirs});
      rmrf.push_back(millisecondsSince(start));
      return status == 0;
    };
    // Alternate which goes first so neither always meets a warmer cache.
    const bool ok = round % 2 ? (measureRm() && measureOurs()) : (measureOurs() && measureRm());
    if (!ok || QFile::exists(mine) || QFile::exists(theirs)) {
      std::fprintf(stderr, "a removal failed\n");
      return 1;
    }
    std::printf("  round %d: ours %.1f ms, rm -rf %.1f ms\n", round + 1, ours.back(), rmrf.back());
  }
  const double oursMs = median(ours), rmMs = median(rmrf);
  std::vector<double> pairedRatios;
  for (size_t i = 0; i < ours.size(); ++i) pairedRatios.push_back(ours[i] / rmrf[i]);
  std::printf("delete %d-file bundle in %s, median of %d rounds:\n", kFolders * kFilesPerFolder,
              qPrintable(work.path()), rounds);
  std::printf("  _moveFileToUserTrash  %8.1f ms\n", oursMs);
  std::printf("  rm -rf (baseline)     %8.1f ms\n", rmMs);
  std::printf("  ratio                 %8.3f x   (goal <= 1.10)\n", oursMs / rmMs);
  std::printf("  median round ratio    %8.3f x\n", median(pairedRatios));

  // ---- 2. Start to window shown ----
  const QString bin = QCoreApplication::applicationDirPath();
  const QString pluginDir = QDir(bin + "/../test-plugins").absolutePath();
  if (!QFile::exists(pluginDir + "/generic/libkeyboardrobot.so")) {
    std::printf("start-up: skipped, the keyboard robot is built with the tests\n");
    return 0;
  }
  const QString home = work.path() + "/home";
  // A full-size plug-in, so that sizing it is part of what start-up might wait for.
  if (!makeBundle(home + "/Library/Mail/Bundles/Quillane.mailbundle")) return 1;
  QDir().mkpath(home + "/run");
  QFile::setPermissions(home + "/run", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
  std::vector<double> remover, bare;
  for (int round = 0; round < rounds; ++round) {
    auto ms = millisecondsToWindow(bin + "/QuillaneRemover", home, pluginDir);
    auto baseline = millisecondsToWindow(bin + "/removal_bench_bare_window", home, pluginDir);
    if (!ms || !baseline) {
      std::fprintf(stderr, "a program did not show its window\n");
      return 1;
    }
    remover.push_back(*ms);
    bare.push_back(*baseline);
  }
  const double removerMs = median(remover), bareMs = median(bare);
  std::printf("start to window shown (offscreen), median of %d runs:\n", rounds);
  std::printf("  QuillaneRemover            %8.1f ms\n", removerMs);
  std::printf("  bare Qt window (baseline)  %8.1f ms\n", bareMs);
  std::printf("  ratio                      %8.3f x\n", removerMs / bareMs);
  return 0;
}
