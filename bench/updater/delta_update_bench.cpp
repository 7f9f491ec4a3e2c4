// Deltas against full archives on a realistic plug-in: ~200 files, ~25 MB, of which a release
// changes five slightly and adds one. Prints, side by side,
//   size: the delta, the full .tar.xz, and xdelta3 -9 -S djw of the two uncompressed tarballs
//         (the usual binary-delta tool, as the baseline; skipped when xdelta3 is not installed);
//   time: the whole update from a loopback web server (download, verify, build or unpack, swap)
//         through the delta and through the full archive, medians over the rounds, same run.
//
//   updater_delta_bench [rounds]      (default 5; work files go under $TMPDIR or /tmp)

#include "bench_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <cstdlib>

namespace {

using bench::die;
using bench::run;
using bench::writeFile;

// Machine code stands in as a stream of short, recurring "instructions" with varied operands:
// it compresses about as well as real executables do.
QByteArray codeLike(qint64 size, quint64& state) {
  static const char* const kOps[] = {"\x48\x89\xe5", "\x48\x83\xec", "\xe8", "\x8b\x45", "\x89\x45", "\x0f\x85", "\xc3", "\x55"};
  QByteArray bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    const QByteArray noise = bench::randomBytes(8, state);
    bytes += kOps[static_cast<unsigned char>(noise[0]) % 8];
    bytes += noise.mid(1, 1 + static_cast<unsigned char>(noise[1]) % 4);
  }
  bytes.truncate(size);
  return bytes;
}

// Localised strings, property lists, help pages: text that compresses well.
QByteArray textLike(qint64 size, quint64& state) {
  static const char* const kWords[] = {"message", "mailbox", "folder", "account", "signature", "reply", "quote",
                                       "<key>", "</string>", "Quillane", "attachment", "preferences", "\n"};
  QByteArray bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    const QByteArray noise = bench::randomBytes(8, state);
    bytes += kWords[static_cast<unsigned char>(noise[0]) % 13];
    bytes += ' ';
  }
  bytes.truncate(size);
  return bytes;
}

// A release's edit of a file: a few bytes changed and a few inserted, here and there.
QByteArray editedSlightly(QByteArray bytes, quint64& state) {
  for (int i = 0; i < 6; ++i) {
    const QByteArray noise = bench::randomBytes(16, state);
    const qint64 at = static_cast<qint64>(*reinterpret_cast<const quint64*>(noise.constData()) % static_cast<quint64>(bytes.size() - 64));
    if (i % 2) bytes.insert(at, noise.left(12));
    else bytes.replace(at, 8, noise.right(8));
  }
  return bytes;
}

struct Release {
  std::vector<std::pair<QString, QByteArray>> files;  // relative path, contents
  void write(const QString& bundle) const {
    for (const auto& [path, bytes] : files) writeFile(bundle + u'/' + path, bytes, path.contains(QStringLiteral("MacOS")));
  }
};

Release oldRelease(const QByteArray& info, quint64& state) {
  Release r;
  r.files.emplace_back(QStringLiteral("Contents/Info.plist"), info);
  r.files.emplace_back(QStringLiteral("Contents/MacOS/Quillane"), codeLike(6 << 20, state));
  for (int i = 0; i < 3; ++i)
    r.files.emplace_back(QStringLiteral("Contents/Frameworks/Kit%1.framework/Kit%1").arg(i), codeLike(3 << 20, state));
  for (int i = 0; i < 150; ++i)
    r.files.emplace_back(QStringLiteral("Contents/Resources/lang%1.lproj/Strings%2.strings").arg(i % 30).arg(i / 30),
                         textLike(20000 + (i * 3571) % 60000, state));
  for (int i = 0; i < 45; ++i)
    r.files.emplace_back(QStringLiteral("Contents/Resources/Images/image%1.png").arg(i), bench::randomBytes(100 * 1024, state));
  return r;
}

// The next release: the version, the executable, one framework, two strings files changed; one
// help page added.
Release nextRelease(Release r, const QByteArray& info, quint64& state) {
  r.files[0].second = info;
  for (int index : {1, 2, 10, 40}) r.files[static_cast<std::size_t>(index)].second = editedSlightly(r.files[static_cast<std::size_t>(index)].second, state);
  r.files.emplace_back(QStringLiteral("Contents/Resources/Help/WhatsNew.html"), textLike(150000, state));
  return r;
}

qint64 treeBytes(const Release& r) {
  qint64 total = 0;
  for (const auto& file : r.files) total += file.second.size();
  return total;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const bench::Workspace work(QStringLiteral("updater-delta-bench"));
  const QString &publisher = work.publisher, &serve = work.serve, &key = work.key, &publicKey = work.publicKey;
  const quint16 port = bench::freePort();
  const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(port);
  const QString feedUrl = base + QStringLiteral("appcast.xml");

  quint64 state = 0x9E3779B97F4A7C15ull;
  const Release old = oldRelease(bench::infoPlist(QStringLiteral("1.0"), feedUrl, publicKey), state);
  const Release next = nextRelease(old, bench::infoPlist(QStringLiteral("2.0"), feedUrl, publicKey), state);
  const QString oldSource = work.filePath(QStringLiteral("old"));
  const QString newSource = work.filePath(QStringLiteral("new"));
  old.write(oldSource + QStringLiteral("/Quillane.mailbundle"));
  next.write(newSource + QStringLiteral("/Quillane.mailbundle"));
  auto pack = [&](const QString& flags, const QString& source, const QString& archive) {
    run(QStringLiteral("bsdtar"), {flags, archive, QStringLiteral("-C"), source, QStringLiteral("Quillane.mailbundle")});
    return QFileInfo(archive).size();
  };
  const QString oldArchive = work.filePath(QStringLiteral("Quillane-1.0.tar.xz"));
  const QString newArchive = serve + QStringLiteral("/Quillane-2.0.tar.xz");
  pack(QStringLiteral("-cJf"), oldSource, oldArchive);
  const qint64 fullBytes = pack(QStringLiteral("-cJf"), newSource, newArchive);

  const QString delta = serve + QStringLiteral("/Quillane-2.0-from-1.0.delta");
  QElapsedTimer making;
  making.start();
  run(publisher, {QStringLiteral("delta"), QStringLiteral("--key"), key, QStringLiteral("--from"), oldArchive,
                  QStringLiteral("--to"), newArchive, QStringLiteral("-o"), delta});
  const double makingSeconds = making.nsecsElapsed() / 1e9;
  const qint64 deltaBytes = QFileInfo(delta).size();

  qint64 xdeltaBytes = -1;
  const QString xdelta3 = QStandardPaths::findExecutable(QStringLiteral("xdelta3"));
  if (!xdelta3.isEmpty()) {
    const QString oldTar = work.filePath(QStringLiteral("old.tar")), newTar = work.filePath(QStringLiteral("new.tar"));
    pack(QStringLiteral("-cf"), oldSource, oldTar);
    pack(QStringLiteral("-cf"), newSource, newTar);
    const QString patch = work.filePath(QStringLiteral("new.xd3"));
    run(xdelta3, {QStringLiteral("-9"), QStringLiteral("-S"), QStringLiteral("djw"), QStringLiteral("-e"), QStringLiteral("-f"),
                  QStringLiteral("-s"), oldTar, newTar, patch});
    xdeltaBytes = QFileInfo(patch).size();
  }

  // Two feeds: the full archive alone, and the delta with a full archive that is not there, so
  // that a delta round can only succeed through the delta.
  const QString fullFeed = work.filePath(QStringLiteral("appcast-full.xml"));
  const QString deltaFeed = work.filePath(QStringLiteral("appcast-delta.xml"));
  run(publisher, {QStringLiteral("feed"), QStringLiteral("--feed"), fullFeed, QStringLiteral("--archive"), newArchive,
                  QStringLiteral("--url"), base + QStringLiteral("Quillane-2.0.tar.xz"), QStringLiteral("--key"), key});
  run(publisher, {QStringLiteral("feed"), QStringLiteral("--feed"), deltaFeed, QStringLiteral("--archive"), newArchive,
                  QStringLiteral("--url"), base + QStringLiteral("missing/Quillane-2.0.tar.xz"), QStringLiteral("--key"), key,
                  QStringLiteral("--delta"), delta, QStringLiteral("--delta-url"), base + QFileInfo(delta).fileName()});

  bench::WebServer server(serve, port);
  const QString installed = work.filePath(QStringLiteral("Library/Mail/Bundles/Quillane.mailbundle"));
  auto installOld = [&] {
    QDir(installed).removeRecursively();
    old.write(installed);
  };
  installOld();
  bench::TimedUpdater updater(installed);

  auto timeUpdate = [&](const QString& feed) {
    installOld();
    QFile::remove(serve + QStringLiteral("/appcast.xml"));
    if (!QFile::copy(feed, serve + QStringLiteral("/appcast.xml"))) die(QStringLiteral("cannot serve the feed"));
    ::sync();  // the previous round's writes are not charged to this one
    const double seconds = updater.checkInBackground();
    if (!QFile::exists(installed + QStringLiteral("/Contents/Resources/Help/WhatsNew.html")))
      die(QStringLiteral("the update through %1 was not installed (see the log lines)").arg(QFileInfo(feed).fileName()));
    return seconds;
  };

  std::printf("plug-in: %zu files, %.1f MB; release 2.0 changes 5 files and adds 1\n", next.files.size(), treeBytes(next) / 1e6);
  std::printf("size   full .tar.xz:                       %10lld bytes\n", static_cast<long long>(fullBytes));
  std::printf("size   delta (zstd patch-from):            %10lld bytes   %.2f %% of the full archive (goal <= 5 %%)\n",
              static_cast<long long>(deltaBytes), 100.0 * deltaBytes / fullBytes);
  if (xdeltaBytes >= 0) {
    std::printf("size   xdelta3 -9 -S djw of the tarballs:  %10lld bytes   delta / xdelta3 = %.2f (goal <= 1.00)\n",
                static_cast<long long>(xdeltaBytes), double(deltaBytes) / xdeltaBytes);
  } else {
    std::printf("size   xdelta3 -9 -S djw of the tarballs:  skipped (xdelta3 is not installed)\n");
  }
  std::printf("making the delta (update-publisher delta, with its verification): %.2f s\n", makingSeconds);

  timeUpdate(deltaFeed);
  timeUpdate(fullFeed);
  std::vector<double> throughDelta, throughArchive;
  for (int i = 0; i < rounds; ++i) {
    throughDelta.push_back(timeUpdate(deltaFeed));
    throughArchive.push_back(timeUpdate(fullFeed));
  }
  const double a = bench::median(throughDelta), b = bench::median(throughArchive);
  std::printf("time   update through the delta:           %.3f s (median of %d)\n", a, rounds);
  std::printf("time   update through the full archive:    %.3f s (median of %d)\n", b, rounds);
  std::printf("ratio  delta / full archive:               %.2f (goal <= 1.00)\n", a / b);
  return 0;
}
