// aesend: sends an event without parameters to the application with a bundle identifier
// and prints the status (the help text below says it all).
#include "ae/AppleEvents.h"
#include "command_line.h"

#include <QCoreApplication>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

const command_line::Tool kTool{
    "aesend",
    "Usage: aesend [--wait] [--timeout TICKS] BUNDLE_ID CLASS ID\n"
    "Send an Apple event of class CLASS and ID ID (four ASCII characters each), without\n"
    "parameters, to the application that owns BUNDLE_ID on the session bus, and print the\n"
    "status the Apple Event Manager returns: 0 when it was delivered (and, with --wait,\n"
    "answered), -600 when no application owns BUNDLE_ID, -609 when the bus cannot be\n"
    "reached and, with --wait, -1708 when the application does not handle the event and\n"
    "-1712 when its reply did not come in time. An event never starts an application.\n"
    "\n"
    "Options:\n"
    "      --wait           wait for the application's reply (default: do not wait)\n"
    "      --timeout TICKS  with --wait, wait at most TICKS sixtieths of a second\n"
    "                       (default: -1, the Apple Event Manager's 3600 ticks)\n"
    "      --help           show this help and exit\n"
    "      --version        show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the status was 0\n"
    "  1  the status was not 0\n"
    "  2  usage error\n"
    "\n"
    "Examples:\n"
    "  aesend com.apple.mail aevt quit\n"
    "\n"
    "  aesend --wait --timeout 600 com.apple.mail aevt quit\n",
    "usage: aesend [--wait] [--timeout TICKS] BUNDLE_ID CLASS ID\n"};

int usage(const char* problem) { return command_line::usageError(kTool, problem); }

std::optional<FourCharCode> parseCode(std::string_view text) {
  if (text.size() != 4) return std::nullopt;
  FourCharCode code = 0;
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return std::nullopt;
    code = (code << 8) | static_cast<unsigned char>(c);
  }
  return code;
}

std::optional<long> parseTicks(const char* text) {
  if (!text || !*text) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long ticks = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return ticks;
}

bool isWellFormedIdentifier(std::string_view bytes) {
  if (bytes.empty()) return false;
  const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  if (text.toUtf8() != QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()))) return false;  // not UTF-8
  for (QChar c : text) {
    if (c.category() == QChar::Other_Control) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const auto answered = command_line::answerHelpOrVersion(kTool, argc, argv)) return *answered;
  bool wait = false;
  long ticks = kAEDefaultTimeout;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string_view option = argv[i];
    if (option == "--") {
      ++i;
      break;
    }
    if (option == "--wait") {
      wait = true;
    } else if (option == "--timeout" || option.starts_with("--timeout=")) {
      const char* value = option == "--timeout" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 10;
      const auto parsed = parseTicks(value);
      if (!parsed) return usage("--timeout needs a whole number of ticks");
      ticks = *parsed;
    } else {
      return usage("unknown option");
    }
  }
  if (argc - i != 3) return usage("expected BUNDLE_ID CLASS ID");
  const std::string_view identifier = argv[i];
  const auto eventClass = parseCode(argv[i + 1]);
  const auto eventID = parseCode(argv[i + 2]);
  if (!isWellFormedIdentifier(identifier)) return usage("malformed bundle identifier");
  if (!eventClass || !eventID) return usage("CLASS and ID are four printable ASCII characters each");

  QCoreApplication app(argc, argv);
  AppleEvent event;
  OSStatus status = AEBuildAppleEvent(*eventClass, *eventID, typeApplicationBundleID, identifier.data(),
                                      static_cast<Size>(identifier.size()), kAutoGenerateReturnID,
                                      kAnyTransactionID, &event, nullptr, "");
  if (status == noErr) {
    AppleEvent reply;
    status = AESendMessage(&event, &reply, wait ? kAEWaitReply : kAENoReply, ticks);
    AEDisposeDesc(&reply);
    AEDisposeDesc(&event);
  }
  std::printf("%d\n", static_cast<int>(status));
  return status == noErr ? 0 : 1;
}
