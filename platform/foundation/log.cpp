#include "foundation/log.h"

#include <errno.h>
#include <unistd.h>

#include <QDateTime>

namespace foundation {

QString formatWithArguments(const QString& format, const QStringList& arguments) {
  QString result;
  result.reserve(format.size());
  qsizetype next = 0;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c == u'%' && i + 1 < format.size()) {
      const QChar kind = format[i + 1];
      if (kind == u'@') {
        result += next < arguments.size() ? arguments[next] : QStringLiteral("(null)");
        ++next;
        ++i;
        continue;
      }
      if (kind == u'%') {
        result += u'%';
        ++i;
        continue;
      }
    }
    result += c;
  }
  return result;
}

QString logLineForMessage(const QString& message) {
  const QString timestamp =
      QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
  const QString program = QString::fromLocal8Bit(program_invocation_short_name);
  return QStringLiteral("%1 %2[%3:%4] %5")
      .arg(timestamp, program, QString::number(getpid()), QString::number(gettid()), message);
}

void writeLogLine(const QString& message) {
  QByteArray line = logLineForMessage(message).toUtf8();
  if (!line.endsWith('\n')) line += '\n';
  // One write per line so lines of several threads or processes never interleave.
  const char* data = line.constData();
  std::size_t left = static_cast<std::size_t>(line.size());
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // stderr is gone; a log line is not worth failing for
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace foundation
