#pragma once
// Shared pieces of the readers and writers (internal).

#include <string>

#include "plist/plist.h"

namespace plist::detail {

inline Unexpected<Error> failure(std::string message, std::size_t offset) {
  return unexpected(Error{std::move(message), offset});
}

inline std::string hexByte(unsigned value) {
  static const char digits[] = "0123456789abcdef";
  return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

// Shared sub-values (a binary file may reference one object from many places) are written
// out in full by the XML writer; beyond this many expanded values it refuses.
inline constexpr std::size_t kMaxExpandedValues = std::size_t{1} << 24;

// Both write into buffer's memory when it is large enough.
Result<std::string> writeBinaryChecked(const Value& value, std::string buffer = {});
Result<std::string> writeXmlChecked(const Value& value, std::string buffer = {});

}  // namespace plist::detail
