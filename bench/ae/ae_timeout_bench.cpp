// ae_timeout_bench [TICKS [TRIES]]
// How late a waiting send to a target that never answers returns, against the bus library's
// own timeout (a blocking QtDBus call given the same time) as the baseline. Runs TRIES of
// each, alternating, and prints every overrun past the timeout and their spread.
// Defaults: 600 ticks (the agent's quit wait), 20 tries: about 7 minutes.
#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"
#include "bench_bus.h"
#include "ae/event_record.h"
#include "ae/wire.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kReceiver[] = "org.quillane.TimeoutBench";

void printSeries(const char* name, std::vector<double> overruns) {
  std::sort(overruns.begin(), overruns.end());
  std::printf("  %-34s min %7.1f  median %7.1f  max %7.1f  |", name, overruns.front(), overruns[overruns.size() / 2],
              overruns.back());
  for (double o : overruns) std::printf(" %.1f", o);
  std::printf("\n");
}

}  // namespace

int main(int argc, char* argv[]) {
  // The receiver takes every event and never answers it.
  if (const auto served = ae_bench::runAsReceiver(
          argc, argv, QString::fromLatin1(kReceiver), [](const ae::NSAppleEventDescriptor&, ae::NSAppleEventDescriptor&) {
            ae::NSAppleEventManager::sharedAppleEventManager().suspendCurrentAppleEvent();
          })) {
    return *served;
  }
  if (!ae_bench::runOnPrivateBus(argc, argv)) return 1;
  const long ticks = argc > 1 ? std::atol(argv[1]) : 600;
  const int tries = argc > 2 ? std::atoi(argv[2]) : 20;
  if (ticks <= 0 || tries <= 0) {
    std::fprintf(stderr, "usage: ae_timeout_bench [TICKS [TRIES]]\n");
    return 2;
  }

  QCoreApplication app(argc, argv);
  QProcess receiver;
  if (!ae_bench::startReceiver(receiver)) return 1;

  const QByteArray identifier(kReceiver);
  AppleEvent event;
  AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, identifier.constData(),
                    identifier.size(), kAutoGenerateReturnID, kAnyTransactionID, &event, nullptr, "");
  const ae::NSAppleEventDescriptor owned = ae::NSAppleEventDescriptor::adopt(&event);
  const double timeoutMs = ticks * 1000.0 / 60.0;
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QDBusMessage bareCall = ae::wire::eventCall(QString::fromLatin1(kReceiver), *ae::eventRecord(owned.aeDesc()));

  std::vector<double> ours, library;
  for (int i = 0; i < tries; ++i) {
    auto start = Clock::now();
    AppleEvent reply;
    const OSStatus status = AESendMessage(owned.aeDesc(), &reply, kAEWaitReply, ticks);
    ours.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() - timeoutMs);
    AEDisposeDesc(&reply);
    if (status != errAETimeout) {
      std::fprintf(stderr, "ae_timeout_bench: AESendMessage gave %d, not errAETimeout\n", int(status));
      return 1;
    }
    start = Clock::now();
    const QDBusMessage answer = bus.call(bareCall, QDBus::Block, static_cast<int>(timeoutMs + 0.5));
    library.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() - timeoutMs);
    if (answer.type() != QDBusMessage::ErrorMessage) {
      std::fprintf(stderr, "ae_timeout_bench: the silent receiver answered\n");
      return 1;
    }
  }
  receiver.kill();
  receiver.waitForFinished();

  std::printf("%d tries, timeout %ld ticks (%.1f ms); milliseconds past the timeout (negative: early)\n", tries,
              ticks, timeoutMs);
  printSeries("AESendMessage kAEWaitReply", ours);
  printSeries("QtDBus blocking call (baseline)", library);
  const double worst = *std::max_element(ours.begin(), ours.end());
  const double best = *std::min_element(ours.begin(), ours.end());
  std::printf("AESendMessage: %s (never early, at most 50 ms late)\n",
              best >= 0 && worst <= 50 ? "within bounds" : "OUT OF BOUNDS");
  return 0;
}
