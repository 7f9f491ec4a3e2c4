// AEBuildAppleEvent: an event from its fields and a parameter format.
//
// The format is a comma-separated list of `keyword: value` (docs/apple-events.md):
//   keyword   up to four letters, digits or "_" (padded with spaces), or any four characters
//             in single quotes: 'quit', '----'
//   value     -12 (typeSInt32), an identifier (typeEnumerated), “text” or "text" (UTF-8 text),
//             @ (an AEDesc* argument, copied), or a coercion type(...) holding @ (two
//             arguments: Size length, const void* bytes), «hex bytes» or text.
// Lists and records are not supported and are reported as syntax errors.
#include "ae/AppleEvents.h"
#include "ae/event_record.h"

#include <cstdarg>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

namespace ae {
namespace {

struct Value {
  DescType type = typeNull;
  QByteArray data;
};

class ParamsParser {
 public:
  ParamsParser(std::string_view format, va_list* args) : text_(format), args_(args) {}

  // The parameters, or nothing with error() set.
  std::optional<std::vector<EventParameter>> parse() {
    std::vector<EventParameter> parameters;
    skipSpace();
    if (atEnd()) return parameters;
    for (;;) {
      const auto keyword = parseIdentifier(aeBuildSyntaxNoKey);
      if (!keyword) return std::nullopt;
      skipSpace();
      if (!consume(':')) return fail(atEnd() ? aeBuildSyntaxBadEOF : aeBuildSyntaxNoColon);
      skipSpace();
      auto value = parseValue();
      if (!value) return std::nullopt;
      EventParameter parameter{*keyword, value->type, std::move(value->data)};
      bool replaced = false;
      for (auto& p : parameters) {
        if (p.keyword == parameter.keyword) {
          p = parameter;
          replaced = true;
        }
      }
      if (!replaced) parameters.push_back(std::move(parameter));
      skipSpace();
      if (atEnd()) return parameters;
      if (!consume(',')) return fail(aeBuildSyntaxNoEOF);
      skipSpace();
    }
  }

  AEBuildError error() const { return error_; }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  bool startsWith(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }
  bool consume(char c) {
    if (peek() != c || atEnd()) return false;
    ++pos_;
    return true;
  }
  void skipSpace() {
    while (!atEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) ++pos_;
  }
  std::nullopt_t fail(std::uint32_t code) {
    error_ = {code, static_cast<std::uint32_t>(pos_)};
    return std::nullopt;
  }

  static bool isIdentifierChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }

  std::optional<FourCharCode> parseIdentifier(std::uint32_t codeWhenMissing) {
    char chars[4] = {' ', ' ', ' ', ' '};
    std::size_t length = 0;
    if (consume('\'')) {
      while (!atEnd() && peek() != '\'') {
        if (length == 4) return fail(aeBuildSyntaxMissingQuote);
        chars[length++] = text_[pos_++];
      }
      if (!consume('\'')) return fail(aeBuildSyntaxMissingQuote);
      if (length == 0) return fail(aeBuildSyntaxBadToken);
    } else {
      if (atEnd()) return fail(aeBuildSyntaxBadEOF);
      if (!isIdentifierChar(peek()) || (peek() >= '0' && peek() <= '9')) return fail(codeWhenMissing);
      while (!atEnd() && isIdentifierChar(peek())) {
        if (length == 4) return fail(aeBuildSyntaxBadToken);
        chars[length++] = text_[pos_++];
      }
    }
    FourCharCode code = 0;
    for (char c : chars) code = (code << 8) | static_cast<unsigned char>(c);
    return code;
  }

  static QByteArray bytesOf(const void* p, std::size_t n) { return QByteArray(static_cast<const char*>(p), qsizetype(n)); }

  std::optional<Value> parseValue() {
    if (atEnd()) return fail(aeBuildSyntaxBadEOF);
    const char c = peek();
    if (c == '-' || (c >= '0' && c <= '9')) return parseInteger();
    if (c == '@') {
      ++pos_;
      return descriptorArgument();
    }
    if (startsWith(kOpenText) || c == '"') return parseText();
    if (startsWith(kOpenHex)) return fail(aeBuildSyntaxUncoercedHex);
    if (c == '[' || c == '{') return fail(aeBuildSyntaxBadToken);  // lists and records: not supported
    const auto type = parseIdentifier(aeBuildSyntaxBadToken);
    if (!type) return std::nullopt;
    skipSpace();
    if (!consume('(')) {
      const FourCharCode enumerator = *type;
      return Value{typeEnumerated, bytesOf(&enumerator, sizeof enumerator)};
    }
    skipSpace();
    auto inner = parseCoercedData();
    if (!inner) return std::nullopt;
    skipSpace();
    if (!consume(')')) return fail(atEnd() ? aeBuildSyntaxBadEOF : aeBuildSyntaxNoCloseParen);
    return Value{*type, std::move(*inner)};
  }

  std::optional<QByteArray> parseCoercedData() {
    if (atEnd()) return fail(aeBuildSyntaxBadEOF);
    if (consume('@')) {
      const Size length = va_arg(*args_, Size);
      const void* bytes = va_arg(*args_, const void*);
      if (length < 0 || (length > 0 && !bytes)) return fail(aeBuildSyntaxBadData);
      return bytesOf(bytes, static_cast<std::size_t>(length));
    }
    if (startsWith(kOpenHex)) return parseHex();
    if (startsWith(kOpenText) || peek() == '"') {
      auto text = parseText();
      if (!text) return std::nullopt;
      return std::move(text->data);
    }
    return fail(aeBuildSyntaxBadToken);
  }

  std::optional<Value> parseInteger() {
    const std::size_t start = pos_;
    const bool negative = consume('-');
    if (atEnd() || peek() < '0' || peek() > '9') return fail(aeBuildSyntaxBadNegative);
    long long value = 0;
    while (!atEnd() && peek() >= '0' && peek() <= '9') {
      value = value * 10 + (text_[pos_++] - '0');
      if (value > static_cast<long long>(std::numeric_limits<std::int32_t>::max()) + 1) {
        pos_ = start;
        return fail(aeBuildSyntaxBadData);
      }
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) {
      pos_ = start;
      return fail(aeBuildSyntaxBadData);
    }
    const auto number = static_cast<std::int32_t>(value);
    return Value{typeSInt32, bytesOf(&number, sizeof number)};
  }

  std::optional<Value> parseText() {
    const bool curly = startsWith(kOpenText);
    const std::string_view close = curly ? kCloseText : std::string_view("\"");
    pos_ += curly ? kOpenText.size() : 1;
    const std::size_t end = text_.find(close, pos_);
    if (end == std::string_view::npos) {
      pos_ = text_.size();
      return fail(aeBuildSyntaxNoCloseString);
    }
    Value value{typeUTF8Text, bytesOf(text_.data() + pos_, end - pos_)};
    pos_ = end + close.size();
    return value;
  }

  std::optional<QByteArray> parseHex() {
    pos_ += kOpenHex.size();
    QByteArray bytes;
    int pending = -1;
    for (;;) {
      if (atEnd()) return fail(aeBuildSyntaxNoCloseHex);
      if (startsWith(kCloseHex)) break;
      const char c = text_[pos_];
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      else if (c != ' ') return fail(aeBuildSyntaxBadHex);
      ++pos_;
      if (digit < 0) continue;
      if (pending < 0) {
        pending = digit;
      } else {
        bytes += static_cast<char>(pending * 16 + digit);
        pending = -1;
      }
    }
    if (pending >= 0) return fail(aeBuildSyntaxOddHex);
    pos_ += kCloseHex.size();
    return bytes;
  }

  std::optional<Value> descriptorArgument() {
    const AEDesc* desc = va_arg(*args_, const AEDesc*);
    if (!desc || eventRecord(desc)) return fail(aeBuildSyntaxBadDesc);
    const Size size = AEGetDescDataSize(desc);
    Value value{desc->descriptorType, QByteArray(static_cast<qsizetype>(size), Qt::Uninitialized)};
    if (AEGetDescData(desc, value.data.data(), size) != noErr) return fail(aeBuildSyntaxBadDesc);
    return value;
  }

  static constexpr std::string_view kOpenText = "\xE2\x80\x9C";   // “
  static constexpr std::string_view kCloseText = "\xE2\x80\x9D";  // ”
  static constexpr std::string_view kOpenHex = "\xC2\xAB";        // «
  static constexpr std::string_view kCloseHex = "\xC2\xBB";       // »

  std::string_view text_;
  va_list* args_;
  std::size_t pos_ = 0;
  AEBuildError error_{aeBuildSyntaxNoErr, 0};
};

}  // namespace
}  // namespace ae

namespace ae {
namespace {

OSStatus buildAppleEvent(AEEventClass eventClass, AEEventID eventID, DescType addressType, const void* addressData,
                         Size addressLength, AEReturnID returnID, AETransactionID transactionID, AppleEvent* result,
                         AEBuildError* error, const char* paramsFmt, va_list* args) {
  try {
    ParamsParser parser(paramsFmt, args);
    auto parameters = parser.parse();
    if (!parameters) {
      if (error) *error = parser.error();
      return errAEBuildSyntaxError;
    }
    AEAddressDesc address;
    if (const OSErr made = AECreateDesc(addressType, addressData, addressLength, &address); made != noErr) return made;
    AppleEvent event;
    const OSErr made = AECreateAppleEvent(eventClass, eventID, &address, returnID, transactionID, &event);
    AEDisposeDesc(&address);
    if (made != noErr) return made;
    eventRecord(&event)->parameters = std::move(*parameters);
    *result = event;
    return noErr;
  } catch (const std::bad_alloc&) {
    AEDisposeDesc(result);
    return memFullErr;
  }
}

}  // namespace
}  // namespace ae

OSStatus AEBuildAppleEvent(AEEventClass eventClass, AEEventID eventID, DescType addressType, const void* addressData,
                           Size addressLength, AEReturnID returnID, AETransactionID transactionID, AppleEvent* result,
                           AEBuildError* error, const char* paramsFmt, ...) {
  if (error) *error = {aeBuildSyntaxNoErr, 0};
  if (!result) return paramErr;
  AEInitializeDesc(result);
  if (!paramsFmt || addressLength < 0 || (addressLength > 0 && !addressData)) return paramErr;
  va_list args;
  va_start(args, paramsFmt);
  const OSStatus status = ae::buildAppleEvent(eventClass, eventID, addressType, addressData, addressLength, returnID,
                                              transactionID, result, error, paramsFmt, &args);
  va_end(args);
  return status;
}
