#include "bench_bus.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace ae_bench {

namespace {
constexpr char kOnPrivateBus[] = "QUILLANE_AE_BENCH_PRIVATE_BUS";
}

bool runOnPrivateBus(int argc, char* argv[]) {
  if (std::getenv(kOnPrivateBus)) return true;
  setenv(kOnPrivateBus, "1", 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  std::vector<char*> command = {const_cast<char*>("dbus-run-session"), const_cast<char*>("--")};
  for (int i = 0; i < argc; ++i) command.push_back(argv[i]);
  command.push_back(nullptr);
  execvp(command[0], command.data());
  std::perror("dbus-run-session");
  return false;
}

std::optional<int> runAsReceiver(int argc, char* argv[], const QString& name,
                                 ae::NSAppleEventManager::Handler handler) {
  if (argc != 2 || std::strcmp(argv[1], "--receiver") != 0) return std::nullopt;
  QCoreApplication app(argc, argv);
  auto& manager = ae::NSAppleEventManager::sharedAppleEventManager();
  manager.setEventHandlerAndSelectorForEventClassAndEventID(&app, std::move(handler), typeWildCard, typeWildCard);
  if (manager.registerApplication(name) != noErr) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}

bool startReceiver(QProcess& receiver) {
  receiver.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--receiver")});
  if (receiver.waitForReadyRead(10000) && receiver.readLine().trimmed() == "ready") return true;
  std::fprintf(stderr, "the receiver did not start\n");
  return false;
}

}  // namespace ae_bench
