#include "foundation/search_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "foundation/path_utilities.h"

namespace foundation {
namespace {

QString homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return QString::fromLocal8Bit(home);

  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir) {
    return QString::fromLocal8Bit(found->pw_dir);
  }
  return {};
}

}  // namespace

QStringList NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                NSSearchPathDomainMask domainMask,
                                                bool expandTilde) {
  if (directory != NSLibraryDirectory || !(domainMask & NSUserDomainMask)) return {};
  if (!expandTilde) return {QStringLiteral("~/Library")};
  const QString home = homeDirectory();
  if (home.isEmpty()) return {};
  return {stringByAppendingPathComponent(home, QStringLiteral("Library"))};
}

}  // namespace foundation
