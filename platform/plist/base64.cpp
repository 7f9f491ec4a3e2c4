#include "plist/base64.h"

#include <array>
#include <cstdint>

namespace plist::base64 {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}
constexpr auto kDecode = makeDecodeTable();

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
}  // namespace

void encodeLines(std::string& out, std::string_view bytes, std::size_t lineLength, std::string_view indent) {
  const std::size_t groupsPerLine = lineLength / 4 ? lineLength / 4 : 1;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    out += indent;
    for (std::size_t group = 0; group < groupsPerLine && i < bytes.size(); ++group, i += 3) {
      const std::size_t left = bytes.size() - i;
      const std::uint32_t triple = (std::uint32_t{data[i]} << 16) | (left > 1 ? std::uint32_t{data[i + 1]} << 8 : 0) |
                                   (left > 2 ? std::uint32_t{data[i + 2]} : 0);
      out += kAlphabet[(triple >> 18) & 63];
      out += kAlphabet[(triple >> 12) & 63];
      out += left > 1 ? kAlphabet[(triple >> 6) & 63] : '=';
      out += left > 2 ? kAlphabet[triple & 63] : '=';
    }
    out += '\n';
  }
}

std::optional<std::size_t> decode(std::string_view text, std::string& out) {
  std::uint32_t accumulator = 0;
  int held = 0;     // sextets in accumulator
  int padding = 0;  // '=' seen
  std::size_t groupStart = 0;
  out.reserve(out.size() + text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (isSpace(c)) continue;
    if (held == 0 && padding == 0) groupStart = i;
    if (c == '=') {
      // Padding completes a group of two or three sextets, and nothing but padding follows it.
      if (held < 2 || held + padding >= 4) return i;
      ++padding;
      if (held + padding == 4) {
        if (held == 2) out += static_cast<char>(accumulator >> 4);
        if (held == 3) {
          out += static_cast<char>(accumulator >> 10);
          out += static_cast<char>((accumulator >> 2) & 0xFF);
        }
        held = 4;  // group closed by padding: only whitespace may follow
      }
      continue;
    }
    const std::int8_t sextet = kDecode[static_cast<unsigned char>(c)];
    if (sextet < 0 || padding > 0 || held == 4) return i;
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(sextet);
    if (++held == 4) {
      out += static_cast<char>(accumulator >> 16);
      out += static_cast<char>((accumulator >> 8) & 0xFF);
      out += static_cast<char>(accumulator & 0xFF);
      held = 0;
      accumulator = 0;
    }
  }
  if (held == 4) return std::nullopt;  // ended with a padded group
  if (padding > 0 || held == 1) return groupStart;
  // Tolerate a missing final padding, as common decoders do.
  if (held == 2) out += static_cast<char>(accumulator >> 4);
  if (held == 3) {
    out += static_cast<char>(accumulator >> 10);
    out += static_cast<char>((accumulator >> 2) & 0xFF);
  }
  return std::nullopt;
}

}  // namespace plist::base64
