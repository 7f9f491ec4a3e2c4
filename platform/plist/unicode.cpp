#include "plist/unicode.h"

#include <cstring>

namespace plist::unicode {

std::optional<std::size_t> findInvalidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    char32_t minimum;
    char32_t value;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, minimum = 0x80, value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, minimum = 0x800, value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, minimum = 0x10000, value = lead & 0x07;
    } else {
      return i;
    }
    if (size - i < length) return i;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return i;
      value = (value << 6) | (bytes[i + k] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return i;
    i += length;
  }
  return std::nullopt;
}

std::optional<std::size_t> findNonAscii(std::string_view text) {
  // Words at a time: strings and keys are mostly ASCII, and this runs over all of them. Most
  // are short, so their last bytes are read as one word too, overlapping the ones before.
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  auto word = [&](std::size_t at) {
    std::uint64_t bytes;
    std::memcpy(&bytes, text.data() + at, 8);
    return bytes;
  };
  std::size_t i = 0;
  if (text.size() >= 8) {
    for (; i + 8 <= text.size(); i += 8)
      if (word(i) & kHighBits) break;
    if (i + 8 > text.size() && !(word(text.size() - 8) & kHighBits)) return std::nullopt;
  } else if (text.size() >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, text.data(), 4);
    std::memcpy(&tail, text.data() + text.size() - 4, 4);
    if (!((head | tail) & 0x80808080U)) return std::nullopt;
  }
  for (; i < text.size(); ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return i;
  return std::nullopt;
}

bool isAscii(std::string_view text) { return !findNonAscii(text); }

char32_t decodeUtf8(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  std::size_t length = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
  char32_t value = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < length; ++k) value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  i += length;
  return value;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::optional<std::size_t> utf16BigEndianToUtf8(const unsigned char* bytes, std::size_t units,
                                                std::string& out) {
  out.reserve(out.size() + units);
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t unit = (char32_t{bytes[2 * i]} << 8) | bytes[2 * i + 1];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == units) return i;
      const char32_t low = (char32_t{bytes[2 * i + 2]} << 8) | bytes[2 * i + 3];
      if (low < 0xDC00 || low > 0xDFFF) return i;
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return i;
    } else {
      appendUtf8(out, unit);
    }
  }
  return std::nullopt;
}

std::size_t appendUtf16BigEndian(std::string& out, std::string_view utf8) {
  std::size_t units = 0;
  auto put = [&](char32_t unit) {
    out += static_cast<char>(unit >> 8);
    out += static_cast<char>(unit & 0xFF);
    ++units;
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t c = decodeUtf8(utf8, i);
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return units;
}

}  // namespace plist::unicode
