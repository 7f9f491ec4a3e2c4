// mail-standin [--log FILE] [--reply-delay MS] [--no-reply] [--bundle-id ID]
// Stands in for Mail: owns its bundle identifier on the session bus and logs every event
// it receives (to FILE, else standard output). A quit is answered after MS milliseconds and
// then ends the stand-in, or with --no-reply is never answered; an activate is logged and
// answered; anything else is answered errAEEventNotHandled.
#include "event_log.h"

#include "ae/AppleEventObjects.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kExitUsage = 2;

struct Options {
  QString logPath;
  int replyDelayMs = 0;
  bool noReply = false;
  QString bundleIdentifier = QStringLiteral("com.apple.mail");
};

int fail(const QString& message) {
  std::fprintf(stderr, "mail-standin: %s\n", qPrintable(message));
  return kExitUsage;
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  QCommandLineParser parser;
  parser.addOptions({
      {QStringLiteral("log"), QStringLiteral("Append one JSON line per event to FILE."), QStringLiteral("FILE")},
      {QStringLiteral("reply-delay"), QStringLiteral("Answer a quit after MS milliseconds."), QStringLiteral("MS")},
      {QStringLiteral("no-reply"), QStringLiteral("Never answer a quit, and keep running.")},
      {QStringLiteral("bundle-id"), QStringLiteral("Own ID instead of com.apple.mail."), QStringLiteral("ID")},
  });
  parser.addHelpOption();
  if (!parser.parse(app.arguments())) return fail(parser.errorText());
  if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
  if (!parser.positionalArguments().isEmpty()) return fail(QStringLiteral("unexpected argument"));

  Options options;
  options.noReply = parser.isSet(QStringLiteral("no-reply"));
  if (parser.isSet(QStringLiteral("bundle-id"))) options.bundleIdentifier = parser.value(QStringLiteral("bundle-id"));
  if (parser.isSet(QStringLiteral("reply-delay"))) {
    bool ok = false;
    options.replyDelayMs = parser.value(QStringLiteral("reply-delay")).toInt(&ok);
    if (!ok || options.replyDelayMs < 0) return fail(QStringLiteral("--reply-delay needs a number of milliseconds"));
  }

  QFile log;
  const bool opened = parser.isSet(QStringLiteral("log"))
                          ? (log.setFileName(parser.value(QStringLiteral("log"))),
                             log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
                          : log.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered);
  if (!opened) return fail(QStringLiteral("cannot open the log: %1").arg(log.errorString()));

  auto& manager = ae::NSAppleEventManager::sharedAppleEventManager();
  manager.setEventHandlerAndSelectorForEventClassAndEventID(
      &app,
      [&](const ae::NSAppleEventDescriptor& event, ae::NSAppleEventDescriptor& reply) {
        log.write(eventLogLine(event));
        if (event.eventClass() == kCoreEventClass && event.eventID() == kAEQuitApplication) {
          const auto suspension = manager.suspendCurrentAppleEvent();
          if (options.noReply) return;  // hung: the answer never goes out
          QTimer::singleShot(options.replyDelayMs, &app, [&manager, suspension] {
            manager.resumeWithSuspensionID(suspension);
            QCoreApplication::quit();
          });
        } else if (!(event.eventClass() == kAEMiscStandards && event.eventID() == kAEActivate)) {
          reply.setParamDescriptorForKeyword(ae::NSAppleEventDescriptor::descriptorWithInt32(errAEEventNotHandled),
                                             keyErrorNumber);
        }
      },
      typeWildCard, typeWildCard);

  const OSStatus registered = manager.registerApplication(options.bundleIdentifier);
  if (registered == portNameExistsErr) {
    return fail(QStringLiteral("%1 is already running on this bus").arg(options.bundleIdentifier));
  }
  if (registered != noErr) {
    return fail(QStringLiteral("cannot claim %1 on the session bus (status %2)")
                    .arg(options.bundleIdentifier)
                    .arg(registered));
  }
  return app.exec();
}
