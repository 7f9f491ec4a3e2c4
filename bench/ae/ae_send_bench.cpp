// ae_send_bench [CALLS_PER_ROUND [ROUNDS]]
// Measures, against one receiving process on a private bus:
//   baseline  a bare QtDBus method call to the receiver's event method, waiting for the answer
//   waiting   AESendMessage with kAEWaitReply (build nothing per call; one event, one reply)
//   no-reply  AESendMessage with kAENoReply
//   two trips what a no-reply send used to cost: ask the bus whether the name is owned, wait,
//             hand the event over, ask again and wait (two round trips to the bus daemon)
// Rounds alternate between the four so that drift hits each alike; each figure is the
// median over rounds of the mean time per call.
#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"
#include "bench_bus.h"
#include "ae/wire.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kReceiver[] = "org.quillane.SendBench";

double processCpuMicroseconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

struct PerCall {
  double wall = -1;  // microseconds; negative if a call failed
  double cpu = -1;   // this process's CPU time, all threads
};

PerCall timeCalls(int calls, const std::function<bool()>& call) {
  const auto start = Clock::now();
  const double cpuStart = processCpuMicroseconds();
  for (int i = 0; i < calls; ++i) {
    if (!call()) return {};
  }
  return {std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls,
          (processCpuMicroseconds() - cpuStart) / calls};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
  // The receiver answers every event at once, with nothing.
  if (const auto served = ae_bench::runAsReceiver(argc, argv, QString::fromLatin1(kReceiver),
                                                  [](const ae::NSAppleEventDescriptor&, ae::NSAppleEventDescriptor&) {})) {
    return *served;
  }
  // Never on the user's bus: run again inside a private one.
  if (!ae_bench::runOnPrivateBus(argc, argv)) return 1;

  const int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  if (calls <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: ae_send_bench [CALLS_PER_ROUND [ROUNDS]]\n");
    return 2;
  }

  QCoreApplication app(argc, argv);
  QProcess receiver;
  if (!ae_bench::startReceiver(receiver)) return 1;

  const QByteArray identifier(kReceiver);
  AppleEvent event;
  AEBuildAppleEvent(kAEMiscStandards, kAEActivate, typeApplicationBundleID, identifier.constData(), identifier.size(),
                    kAutoGenerateReturnID, kAnyTransactionID, &event, nullptr, "");
  const ae::NSAppleEventDescriptor owned = ae::NSAppleEventDescriptor::adopt(&event);

  QDBusConnection bus = QDBusConnection::sessionBus();
  const QVariant noParameters = ae::wire::parametersArgument({});
  const std::function<bool()> bareCall = [&] {
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kReceiver), QLatin1String(ae::wire::kObjectPath),
                                                       QLatin1String(ae::wire::kInterface), QLatin1String(ae::wire::kMethod));
    call << uint(kAEMiscStandards) << uint(kAEActivate) << uint(typeApplicationBundleID) << identifier
         << QVariant::fromValue(qint16(1)) << qint32(0) << noParameters;
    return bus.call(call).type() == QDBusMessage::ReplyMessage;
  };
  const std::function<bool()> waitingSend = [&] {
    AppleEvent reply;
    const OSStatus status = AESendMessage(owned.aeDesc(), &reply, kAEWaitReply, 600);
    AEDisposeDesc(&reply);
    return status == noErr;
  };
  const std::function<bool()> noReplySend = [&] { return AESendMessage(owned.aeDesc(), nullptr, kAENoReply, kAEDefaultTimeout) == noErr; };
  const QString receiverName = QString::fromLatin1(kReceiver);
  const std::function<bool()> twoTrips = [&] {
    QDBusMessage call = QDBusMessage::createMethodCall(receiverName, QLatin1String(ae::wire::kObjectPath),
                                                       QLatin1String(ae::wire::kInterface), QLatin1String(ae::wire::kMethod));
    call << uint(kAEMiscStandards) << uint(kAEActivate) << uint(typeApplicationBundleID) << identifier
         << QVariant::fromValue(qint16(1)) << qint32(0) << noParameters;
    call.setAutoStartService(false);
    if (!bus.interface()->isServiceRegistered(receiverName).value()) return false;
    return bus.send(call) && bus.interface()->isServiceRegistered(receiverName).isValid();
  };

  // Warm up every path once.
  timeCalls(std::max(1, calls / 10), bareCall);
  timeCalls(std::max(1, calls / 10), waitingSend);
  timeCalls(std::max(1, calls / 10), noReplySend);
  timeCalls(std::max(1, calls / 10), twoTrips);

  struct Series {
    std::vector<double> wall, cpu;
    bool add(PerCall p) {
      wall.push_back(p.wall);
      cpu.push_back(p.cpu);
      return p.wall >= 0;
    }
  } bare, waiting, noReply, former;
  Series* series[] = {&bare, &waiting, &noReply, &former};
  const std::function<bool()>* methods[] = {&bareCall, &waitingSend, &noReplySend, &twoTrips};
  constexpr int kMethods = 4;
  for (int round = 0; round < rounds; ++round) {
    // Each method takes each place in the order in turn.
    for (int k = 0; k < kMethods; ++k) {
      const int m = (round + k) % kMethods;
      if (!series[m]->add(timeCalls(calls, *methods[m]))) {
        std::fprintf(stderr, "ae_send_bench: a call failed in round %d\n", round + 1);
        return 1;
      }
      waitingSend();  // the receiver answers in order: its backlog is gone before the next method
    }
  }
  receiver.kill();
  receiver.waitForFinished();

  const double b = median(bare.wall), w = median(waiting.wall), n = median(noReply.wall);
  const double f = median(former.wall);
  const double bc = median(bare.cpu), wc = median(waiting.cpu), nc = median(noReply.cpu), fc = median(former.cpu);
  std::printf("%d rounds of %d calls, median of the per-call means; CPU is the sender's, all threads\n",
              rounds, calls);
  std::printf("                                  wall us   ratio      CPU us   ratio\n");
  std::printf("  bare QtDBus call (baseline)    %8.1f   1.000    %8.1f   1.000\n", b, bc);
  std::printf("  AESendMessage kAEWaitReply     %8.1f   %.3f    %8.1f   %.3f\n", w, w / b, wc, wc / bc);
  std::printf("  AESendMessage kAENoReply       %8.1f   %.3f    %8.1f   %.3f\n", n, n / b, nc, nc / bc);
  std::printf("  former no-reply (two trips)    %8.1f   %.3f    %8.1f   %.3f\n", f, f / b, fc, fc / bc);
  std::printf("no-reply / waiting send: %.3f wall, %.3f CPU; former no-reply / waiting send: %.3f wall\n",
              n / w, nc / wc, f / w);
  return 0;
}
