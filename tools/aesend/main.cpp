// aesend [--wait] [--timeout TICKS] BUNDLE_ID CLASS ID
// Sends an event without parameters to the application with that bundle identifier and
// prints the status. Exit status: 0 when the status is 0, 1 otherwise, 2 for a usage error.
#include "ae/AppleEvents.h"

#include <QCoreApplication>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

constexpr int kUsageError = 2;

int usage(const char* problem) {
  std::fprintf(stderr, "aesend: %s\nusage: aesend [--wait] [--timeout TICKS] BUNDLE_ID CLASS ID\n", problem);
  return kUsageError;
}

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
