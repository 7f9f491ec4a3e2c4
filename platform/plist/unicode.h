#pragma once
// UTF-8 and UTF-16 checks and conversions used by the codecs (internal).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plist::unicode {

// Offset of the first byte that does not start a valid UTF-8 sequence (overlong forms,
// surrogates and values above U+10FFFF are invalid), or nothing when text is valid.
std::optional<std::size_t> findInvalidUtf8(std::string_view text);

bool isAscii(std::string_view text);
// Offset of the first byte of text at or above 0x80, or nothing when all are ASCII.
std::optional<std::size_t> findNonAscii(std::string_view text);

// Decodes one valid UTF-8 sequence at text[i] (validity already checked); advances i.
char32_t decodeUtf8(std::string_view text, std::size_t& i);

void appendUtf8(std::string& out, char32_t codePoint);

// Converts big-endian UTF-16 (units code units at bytes) to UTF-8. Returns the index of the
// first code unit that is an unpaired surrogate, or nothing on success.
std::optional<std::size_t> utf16BigEndianToUtf8(const unsigned char* bytes, std::size_t units,
                                                std::string& out);

// Appends valid UTF-8 text as big-endian UTF-16; returns the number of code units.
std::size_t appendUtf16BigEndian(std::string& out, std::string_view utf8);

}  // namespace plist::unicode
