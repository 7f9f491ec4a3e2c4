#include "bench_bus.h"

#include <QCoreApplication>

#include <cstdio>
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

bool startReceiver(QProcess& receiver) {
  receiver.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--receiver")});
  if (receiver.waitForReadyRead(10000) && receiver.readLine().trimmed() == "ready") return true;
  std::fprintf(stderr, "the receiver did not start\n");
  return false;
}

}  // namespace ae_bench
