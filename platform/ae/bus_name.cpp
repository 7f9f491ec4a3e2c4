#include "ae/bus_name.h"

namespace ae {
namespace {

constexpr int kMaximumBusNameLength = 255;
constexpr char kSingleElementPrefix[] = "_.";

bool isLetterOrHyphen(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // uppercase hex is not canonical
}

}  // namespace

std::optional<QString> busNameForBundleIdentifier(const QByteArray& identifier) {
  if (identifier.isEmpty()) return std::nullopt;
  static const char kHex[] = "0123456789abcdef";
  QByteArray name;
  name.reserve(identifier.size() + 8);
  bool atElementStart = true;
  bool separated = false;
  for (qsizetype i = 0; i < identifier.size(); ++i) {
    const char c = identifier[i];
    const bool nextStartsElement = i + 1 < identifier.size() && identifier[i + 1] != '.';
    if (c == '.' && !atElementStart && nextStartsElement) {
      name += '.';
      atElementStart = true;
      separated = true;
      continue;
    }
    if (isLetterOrHyphen(c) || (isDigit(c) && !atElementStart)) {
      name += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      name += '_';
      name += kHex[byte >> 4];
      name += kHex[byte & 0xF];
    }
    atElementStart = false;
    if (name.size() > kMaximumBusNameLength) return std::nullopt;
  }
  if (!separated) name.prepend(kSingleElementPrefix);
  if (name.size() > kMaximumBusNameLength) return std::nullopt;
  return QString::fromLatin1(name);
}

std::optional<QByteArray> bundleIdentifierForBusName(const QString& busName) {
  QByteArray name = busName.toLatin1();
  if (busName.size() != name.size() || QString::fromLatin1(name) != busName) return std::nullopt;
  if (name.startsWith(kSingleElementPrefix)) name.remove(0, 2);
  QByteArray identifier;
  for (qsizetype i = 0; i < name.size(); ++i) {
    if (name[i] != '_') {
      identifier += name[i];
      continue;
    }
    if (i + 2 >= name.size()) return std::nullopt;
    const int high = hexValue(name[i + 1]);
    const int low = hexValue(name[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    identifier += static_cast<char>(high * 16 + low);
    i += 2;
  }
  // Only names this rule produces have an identifier: anything else would make two names
  // stand for the same identifier.
  if (busNameForBundleIdentifier(identifier) != busName) return std::nullopt;
  return identifier;
}

}  // namespace ae
