// Memory of building an update whose bundle holds one very large file that changes slightly:
// through the delta (old file mapped, patch decoded in one pass into the new file, mapped) and,
// as the baseline, through the full archive (unpacked as it is read), each in a fresh child
// process. Prints each path's peak anonymous memory (heap and other private pages) above the
// child's idle size, sampled every 2 ms, with VmHWM (which also counts the mapped files' pages:
// page cache that the system writes back and drops when memory is short). The delta is made at
// a fast level, not the publisher's (most of an hour for 1 GB): what is measured is applying it.
//
//   updater_delta_memory_bench [megabytes]      (default 1000; work files under $TMPDIR or /tmp)

#include "updater/core/archive_extraction.h"
#include "updater/core/bundle_info.h"
#include "updater/core/delta_application.h"
#include "updater/core/delta_creation.h"
#include "updater/core/delta_format.h"
#include "updater/core/mapped_file.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

[[noreturn]] void die(const QString& why) {
  std::fprintf(stderr, "updater_delta_memory_bench: %s\n", qPrintable(why));
  std::exit(1);
}

long statusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length + 1);
  }
  return -1;
}

void writeInfo(const QString& bundle, const char* version) {
  QDir().mkpath(bundle + "/Contents/Resources");
  QFile info(bundle + "/Contents/Info.plist");
  if (!info.open(QIODevice::WriteOnly)) die("cannot write " + info.fileName());
  info.write(QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                        "<key>CFBundleIdentifier</key><string>org.quillane.Quillane</string>"
                        "<key>CFBundleVersion</key><string>") + version + "</string></dict></plist>\n");
}

// Code-like bytes, made chunk by chunk; `edited` changes a few bytes in some chunks.
void writeLargeFile(const QString& path, qint64 megabytes, bool edited) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) die("cannot write " + path);
  QByteArray chunk(1 << 20, Qt::Uninitialized);
  quint64 state = 0x9E3779B97F4A7C15ull;
  for (qint64 i = 0; i < megabytes; ++i) {
    for (qsizetype at = 0; at < chunk.size(); at += 8) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      const quint64 value = state & 0x0F0F0F0F0F0F0F0Full;  // about as compressible as machine code
      std::memcpy(chunk.data() + at, &value, 8);
    }
    if (edited && i % 97 == 3) std::memcpy(chunk.data() + 4096, "release 2.0 changed this", 24);
    if (file.write(chunk) != chunk.size()) die("cannot write " + path);
  }
}

struct Peak {
  long idleKb = 0, peakAnonKb = 0, hwmKb = 0;
};

// Runs work() in a child process and returns its memory figures.
template <typename Work>
Peak measureInChild(Work work) {
  int channel[2];
  if (::pipe(channel) != 0) die("pipe");
  const pid_t child = ::fork();
  if (child < 0) die("fork");
  if (child == 0) {
    ::close(channel[0]);
    Peak peak;
    peak.idleKb = statusKb("RssAnon:");
    std::atomic<bool> done{false};
    std::atomic<long> highest{peak.idleKb};
    std::thread sampler([&] {
      while (!done) {
        const long now = statusKb("RssAnon:");
        if (now > highest) highest = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    const QString failure = work();
    done = true;
    sampler.join();
    if (!failure.isEmpty()) {
      std::fprintf(stderr, "%s\n", qPrintable(failure));
      std::_Exit(1);
    }
    peak.peakAnonKb = highest;
    peak.hwmKb = statusKb("VmHWM:");
    (void)::write(channel[1], &peak, sizeof peak);
    std::_Exit(0);
  }
  ::close(channel[1]);
  Peak peak;
  const bool read = ::read(channel[0], &peak, sizeof peak) == static_cast<ssize_t>(sizeof peak);
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) die("a measured path failed");
  return peak;
}

}  // namespace

int main(int argc, char** argv) {
  const qint64 megabytes = argc > 1 ? std::atoll(argv[1]) : 1000;
  if (megabytes <= 0) die("give a size in megabytes");
  QTemporaryDir work(QDir::tempPath() + "/delta-memory-bench.XXXXXX");
  if (!work.isValid()) die("cannot make a work folder");
  const QString oldBundle = work.filePath("installed/Quillane.mailbundle");
  const QString newBundle = work.filePath("release/Quillane.mailbundle");
  writeInfo(oldBundle, "1.0");
  writeInfo(newBundle, "2.0");
  writeLargeFile(oldBundle + "/Contents/Resources/Library.bin", megabytes, false);
  writeLargeFile(newBundle + "/Contents/Resources/Library.bin", megabytes, true);

  const QString deltaPath = work.filePath("update.delta");
  constexpr int kFastLevel = 3;
  {
    updater::Result<QByteArray> delta = updater::makeDelta(oldBundle, newBundle, kFastLevel);
    if (!delta) die(delta.error().message);
    QFile file(deltaPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(*delta) != delta->size()) die("cannot write the delta");
  }
  const QString archivePath = work.filePath("update.tar");
  const QString tar = QStringLiteral("tar -cf '%1' -C '%2' Quillane.mailbundle").arg(archivePath, work.filePath("release"));
  if (std::system(tar.toLocal8Bit().constData()) != 0) die("tar failed");

  updater::ExtractionLimits limits;
  limits.maxTotalBytes = (megabytes + 64) << 20;
  updater::Result<updater::BundleInfo> installed = updater::readBundleInfo(oldBundle);
  if (!installed) die(installed.error().message);

  const Peak delta = measureInChild([&]() -> QString {
    const QString out = work.filePath("delta-out");
    QDir().mkpath(out);
    updater::Result<updater::MappedFile> file = updater::MappedFile::open(deltaPath);
    if (!file) return file.error().message;
    updater::Result<updater::ParsedDelta> parsed = updater::readDelta(file->data(), file->size(), limits);
    if (!parsed) return parsed.error().message;
    updater::Result<QString> built = updater::applyDelta(*parsed, oldBundle, *installed, out, limits);
    return built ? QString() : built.error().message;
  });
  const Peak full = measureInChild([&]() -> QString {
    const QString out = work.filePath("archive-out");
    QDir().mkpath(out);
    updater::Result<QString> built = updater::extractArchive(archivePath, out, limits);
    return built ? QString() : built.error().message;
  });

  auto mb = [](long kb) { return kb / 1024.0; };
  std::printf("one %lld MB file changed slightly; delta %lld KB, made at zstd level %d (the publisher's is %d)\n",
              static_cast<long long>(megabytes), static_cast<long long>(QFileInfo(deltaPath).size() / 1024), kFastLevel,
              updater::kPublisherCompressionLevel);
  std::printf("delta path:        peak private memory %7.1f MB above idle (VmHWM %7.1f MB, with the mapped old and new files)\n",
              mb(delta.peakAnonKb - delta.idleKb), mb(delta.hwmKb));
  std::printf("full archive path: peak private memory %7.1f MB above idle (VmHWM %7.1f MB)   [baseline]\n",
              mb(full.peakAnonKb - full.idleKb), mb(full.hwmKb));
  std::printf("delta / full archive, private memory above idle: %.2f\n",
              mb(full.peakAnonKb - full.idleKb) > 0 ? double(delta.peakAnonKb - delta.idleKb) / double(full.peakAnonKb - full.idleKb) : 0.0);
  return 0;
}
