#pragma once

// Path operations on strings. They work on whole components separated by "/", never
// touch the file system and never resolve "." or "..".

#include <QString>

namespace foundation {

// path + "/" + component with exactly one "/" between them: trailing slashes of path and
// leading slashes of component are dropped first. An empty path gives the component, an
// empty component gives the path (without trailing slashes). "/" + "a" is "/a".
QString stringByAppendingPathComponent(const QString& path, const QString& component);

// The path without its last component: "/a/b" -> "/a", "/a/b/" -> "/a", "/a" -> "/",
// "/" -> "/", "a" -> "", "" -> "".
QString stringByDeletingLastPathComponent(const QString& path);

// The last component: "/a/b.c" -> "b.c", "/a/" -> "a", "/" -> "/", "" -> "".
QString lastPathComponent(const QString& path);

// The extension of the last component without its dot: "/a/b.tar.gz" -> "gz", "/a.b/c" -> "",
// "/a/.hidden" -> "", "/a/b." -> "".
QString pathExtension(const QString& path);

}  // namespace foundation
