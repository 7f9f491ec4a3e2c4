#include "foundation/path_utilities.h"

namespace foundation {
namespace {

// path without trailing slashes; a path made only of slashes becomes "/".
QString withoutTrailingSlashes(const QString& path) {
  qsizetype end = path.size();
  while (end > 0 && path[end - 1] == u'/') --end;
  if (end == 0 && !path.isEmpty()) return QStringLiteral("/");
  return path.left(end);
}

}  // namespace

QString stringByAppendingPathComponent(const QString& path, const QString& component) {
  qsizetype start = 0;
  while (start < component.size() && component[start] == u'/') ++start;
  const QString tail = withoutTrailingSlashes(component.mid(start));
  const QString head = withoutTrailingSlashes(path);

  if (tail.isEmpty() || tail == u"/") return head;
  if (head.isEmpty()) return tail;
  if (head == u"/") return head + tail;
  return head + u'/' + tail;
}

QString stringByDeletingLastPathComponent(const QString& path) {
  const QString trimmed = withoutTrailingSlashes(path);
  if (trimmed == u"/") return trimmed;
  const qsizetype slash = trimmed.lastIndexOf(u'/');
  if (slash < 0) return {};
  const QString parent = withoutTrailingSlashes(trimmed.left(slash));
  return parent.isEmpty() ? QStringLiteral("/") : parent;
}

QString lastPathComponent(const QString& path) {
  const QString trimmed = withoutTrailingSlashes(path);
  if (trimmed == u"/") return trimmed;
  return trimmed.mid(trimmed.lastIndexOf(u'/') + 1);
}

QString pathExtension(const QString& path) {
  const QString name = lastPathComponent(path);
  if (name == u"/") return {};
  const qsizetype dot = name.lastIndexOf(u'.');
  if (dot <= 0) return {};  // no dot, or only the leading dot of a hidden name
  return name.mid(dot + 1);
}

}  // namespace foundation
