#pragma once
// Base64 as XML property lists carry data (internal).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plist::base64 {

// Appends the encoding of bytes, in lines of at most lineLength characters, each line
// preceded by indent and followed by a line feed.
void encodeLines(std::string& out, std::string_view bytes, std::size_t lineLength, std::string_view indent);

// Decodes text, ignoring XML whitespace. Returns the offset in text of the first character
// that is not valid base64 (or of the end, for a truncated final group), or nothing on success.
std::optional<std::size_t> decode(std::string_view text, std::string& out);

}  // namespace plist::base64
