#pragma once

// Log lines in the platform's format, one per call, on stderr:
//   YYYY-MM-DD HH:MM:SS.mmm Program[pid:tid] message

#include <string>
#include <string_view>
#include <type_traits>

#include <QString>
#include <QStringList>

namespace foundation {

namespace detail {
inline QString logArgumentText(const QString& value) { return value; }
inline QString logArgumentText(const char* value) {
  return value ? QString::fromUtf8(value) : QStringLiteral("(null)");
}
inline QString logArgumentText(const std::string& value) { return QString::fromStdString(value); }
inline QString logArgumentText(std::string_view value) {
  return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}
inline QString logArgumentText(bool value) { return value ? QStringLiteral("YES") : QStringLiteral("NO"); }
template <typename T>
  requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
QString logArgumentText(T value) {
  return QString::number(value);
}
}  // namespace detail

// The format with each "%@" replaced by the next argument, in order, and "%%" by "%".
// Any other "%" sequence is kept as it is. A "%@" with no argument left becomes "(null)";
// arguments left over are ignored. Substituted text is never read as a format again.
QString formatWithArguments(const QString& format, const QStringList& arguments);

template <typename... Args>
QString stringWithFormat(const QString& format, const Args&... args) {
  return formatWithArguments(format, QStringList{detail::logArgumentText(args)...});
}

// Writes "<timestamp> <program>[<pid>:<tid>] <message>\n" to stderr in one write.
// The timestamp is local time to the millisecond; the program is the executable's name.
void writeLogLine(const QString& message);

// The full line writeLogLine would write now for message, without the trailing newline.
QString logLineForMessage(const QString& message);

template <typename... Args>
void NSLog(const QString& format, const Args&... args) {
  writeLogLine(stringWithFormat(format, args...));
}

}  // namespace foundation
