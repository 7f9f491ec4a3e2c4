#include "plist/codec_internal.h"

namespace plist {

const char* formatName(Format format) { return format == Format::Binary ? "binary" : "XML"; }

std::string Error::describe() const { return message + " (at byte " + std::to_string(offset) + ")"; }

ReadResult read(std::string_view bytes) {
  if (bytes.empty()) return ReadResult(detail::failure("empty file", 0), Format::Xml);
  if (bytes.substr(0, 6) == "bplist") {
    if (bytes.substr(0, 8) != "bplist00")
      return ReadResult(detail::failure("unsupported binary property-list version \"" +
                                            std::string(bytes.substr(0, std::min<std::size_t>(bytes.size(), 8))) + "\"",
                                        6),
                        Format::Binary);
    Result<Value> value = readBinary(bytes);
    if (!value) return ReadResult(unexpected(value.error()), Format::Binary);
    return ReadResult(std::move(*value), Format::Binary);
  }
  // XML starts with '<' after an optional byte-order mark and whitespace.
  std::size_t i = bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  const bool utf16 = bytes.size() >= 2 && ((bytes[0] == '\xFE' && bytes[1] == '\xFF') ||
                                           (bytes[0] == '\xFF' && bytes[1] == '\xFE'));
  while (!utf16 && i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n' || bytes[i] == '\r'))
    ++i;
  if (!utf16 && (i == bytes.size() || bytes[i] != '<'))
    return ReadResult(detail::failure("not a property list (neither binary nor XML)", i), Format::Xml);
  Result<Value> value = readXml(bytes);
  if (!value) return ReadResult(unexpected(value.error()), Format::Xml);
  return ReadResult(std::move(*value), Format::Xml);
}

Result<std::string> write(const Value& value, Format format) {
  return format == Format::Binary ? detail::writeBinaryChecked(value) : detail::writeXmlChecked(value);
}

Result<std::string> write(const Value& value, Format format, std::string buffer) {
  return format == Format::Binary ? detail::writeBinaryChecked(value, std::move(buffer))
                                  : detail::writeXmlChecked(value, std::move(buffer));
}

Result<std::string> write(const Dictionary& dictionary, Format format) {
  return write(detail::borrowForReading(dictionary), format);
}

std::string writeBinary(const Value& value) {
  auto bytes = detail::writeBinaryChecked(value);
  return bytes ? std::move(*bytes) : std::string();
}

std::string writeBinary(const Dictionary& dictionary) { return writeBinary(detail::borrowForReading(dictionary)); }

std::string writeXml(const Value& value) {
  auto bytes = detail::writeXmlChecked(value);
  return bytes ? std::move(*bytes) : std::string();
}

}  // namespace plist
