// mail-standin: stands in for Mail on the session bus for tests and demos (the help text
// below says how).
#include "command_line.h"
#include "event_log.h"

#include "ae/AppleEventObjects.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>


namespace {

const command_line::Tool kTool{
    "mail-standin",
    "Usage: mail-standin [--log FILE] [--reply-delay MS] [--no-reply] [--bundle-id ID]\n"
    "Stand in for Mail in tests and demos: own Mail's bundle identifier on the session bus\n"
    "and log every Apple event received, one JSON line each. A quit is answered and then\n"
    "ends the stand-in; an activate is logged and answered; any other event is answered\n"
    "-1708 (not handled).\n"
    "\n"
    "Options:\n"
    "      --log FILE        append the log to FILE (default: standard output)\n"
    "      --reply-delay MS  answer a quit after MS milliseconds (default: 0)\n"
    "      --no-reply        never answer a quit, and keep running\n"
    "      --bundle-id ID    own ID instead of com.apple.mail\n"
    "      --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  ended after answering a quit\n"
    "  1  the log could not be opened, or the bus name could not be had\n"
    "  2  usage error\n",
    "usage: mail-standin [--log FILE] [--reply-delay MS] [--no-reply] [--bundle-id ID]\n"};

struct Options {
  QString logPath;
  int replyDelayMs = 0;
  bool noReply = false;
  QString bundleIdentifier = QStringLiteral("com.apple.mail");
};

int usage(const QString& message) { return command_line::usageError(kTool, message.toStdString()); }

int fail(const QString& message) {
  command_line::reportProblem(kTool.name, message.toStdString());
  return command_line::kExitFailure;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const auto answered = command_line::answerHelpOrVersion(kTool, argc, argv)) return *answered;
  QCoreApplication app(argc, argv);
  QCommandLineParser parser;
  parser.addOptions({
      {QStringLiteral("log"), QStringLiteral("Append one JSON line per event to FILE."), QStringLiteral("FILE")},
      {QStringLiteral("reply-delay"), QStringLiteral("Answer a quit after MS milliseconds."), QStringLiteral("MS")},
      {QStringLiteral("no-reply"), QStringLiteral("Never answer a quit, and keep running.")},
      {QStringLiteral("bundle-id"), QStringLiteral("Own ID instead of com.apple.mail."), QStringLiteral("ID")},
  });
  if (!parser.parse(app.arguments())) return usage(parser.errorText());
  if (!parser.positionalArguments().isEmpty()) return usage(QStringLiteral("unexpected argument"));

  Options options;
  options.noReply = parser.isSet(QStringLiteral("no-reply"));
  if (parser.isSet(QStringLiteral("bundle-id"))) options.bundleIdentifier = parser.value(QStringLiteral("bundle-id"));
  if (parser.isSet(QStringLiteral("reply-delay"))) {
    bool ok = false;
    options.replyDelayMs = parser.value(QStringLiteral("reply-delay")).toInt(&ok);
    if (!ok || options.replyDelayMs < 0) return usage(QStringLiteral("--reply-delay needs a number of milliseconds"));
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
