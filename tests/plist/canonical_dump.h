#pragma once
// Prints a value one line per node, the way tests/plist/plistlib_oracle.py prints what
// plistlib reads, so that the two can be compared line by line.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <algorithm>

#include "plist/value.h"

namespace plisttest {

inline std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string doubleBits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, 8);
  std::string bytes;
  for (int i = 7; i >= 0; --i) bytes += static_cast<char>((bits >> (8 * i)) & 0xFF);
  return hex(bytes);
}

inline void dump(const plist::Value& value, std::string& out) {
  using plist::Kind;
  switch (value.kind()) {
    case Kind::Dictionary:
      out += "dict " + std::to_string(value.asDictionary()->size()) + "\n";
      for (const auto& [key, item] : *value.asDictionary()) {
        out += "key " + hex(key) + "\n";
        dump(item, out);
      }
      return;
    case Kind::Array:
      out += "array " + std::to_string(value.asArray()->size()) + "\n";
      for (const plist::Value& item : *value.asArray()) dump(item, out);
      return;
    case Kind::String: out += "string " + hex(*value.asString()) + "\n"; return;
    case Kind::Integer: out += "int " + value.asInteger()->toString() + "\n"; return;
    case Kind::Real:
      out += std::isnan(*value.asReal()) ? std::string("real nan\n") : "real " + doubleBits(*value.asReal()) + "\n";
      return;
    case Kind::Boolean: out += std::string("bool ") + (*value.asBoolean() ? "1" : "0") + "\n"; return;
    case Kind::Date: out += "date " + doubleBits(value.asDate()->secondsSinceReferenceDate) + "\n"; return;
    case Kind::Data: out += "data " + hex(value.asData()->bytes()) + "\n"; return;
    case Kind::Uid: out += "uid " + std::to_string(value.asUid()->value) + "\n"; return;
  }
}

inline std::string dump(const plist::Value& value) {
  std::string out;
  dump(value, out);
  if (!out.empty()) out.pop_back();  // no final line feed, as the oracle prints
  return out;
}

// Empty when the dumps agree, else the first differing line of each with its number.
inline std::string firstDifference(const std::string& actual, const std::string& expected) {
  std::size_t line = 1, a = 0, e = 0;
  for (;;) {
    const std::size_t aEnd = std::min(actual.find('\n', a), actual.size());
    const std::size_t eEnd = std::min(expected.find('\n', e), expected.size());
    const std::string_view aLine = std::string_view(actual).substr(a, aEnd - a);
    const std::string_view eLine = std::string_view(expected).substr(e, eEnd - e);
    if (aLine != eLine)
      return "line " + std::to_string(line) + ": got \"" + std::string(aLine.substr(0, 200)) + "\", expected \"" +
             std::string(eLine.substr(0, 200)) + "\"";
    if (aEnd == actual.size() && eEnd == expected.size()) return {};
    if (aEnd == actual.size() || eEnd == expected.size()) return "line " + std::to_string(line) + ": lengths differ";
    a = aEnd + 1;
    e = eEnd + 1;
    ++line;
  }
}

}  // namespace plisttest
