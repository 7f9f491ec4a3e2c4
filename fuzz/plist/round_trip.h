#pragma once
// Checks the fuzz targets make on every value a reader accepts: the writers can write it
// (where its format allows) and the readers read back what was written.

#include "plist/plist.h"

namespace plistfuzz {

// Aborts when a written value does not read back equal.
void checkRoundTrips(const plist::Value& value, plist::Format readAs);

}  // namespace plistfuzz
