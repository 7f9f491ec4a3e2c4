// Stands in for an application the updater relaunches: it claims a bus name, notes its
// start in a file, and stays until it is told to stop (SIGTERM) or 60 s have passed.
//   updater_relaunch_target BUS_NAME MARKER_FILE
#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: updater_relaunch_target BUS_NAME MARKER_FILE\n");
    return 2;
  }
  std::signal(SIGTERM, [](int) { _exit(0); });
  // The name comes a little after the start, as with a real application.
  QTimer::singleShot(200, [&] {
    if (!QDBusConnection::sessionBus().registerService(QString::fromUtf8(argv[1]))) {
      std::fprintf(stderr, "updater_relaunch_target: cannot own %s\n", argv[1]);
      QCoreApplication::exit(1);
      return;
    }
    QFile marker(QString::fromUtf8(argv[2]));
    if (marker.open(QIODevice::WriteOnly | QIODevice::Append))
      marker.write(QByteArray::number(getpid()) + '\n');
  });
  QTimer::singleShot(60000, &app, &QCoreApplication::quit);
  return app.exec();
}
