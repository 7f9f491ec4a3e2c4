// How much disk space an item takes, as `du` counts it.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// Bytes allocated on disk to the item at `path` and, for a directory, everything inside
// it. Symbolic links are counted as links and never followed; a file with several hard
// links inside the tree is counted once. Nothing when the path cannot be examined at all;
// entries inside it that cannot be read are left out of the sum.
std::optional<std::uint64_t> diskUsageAtPath(const QString& path);
