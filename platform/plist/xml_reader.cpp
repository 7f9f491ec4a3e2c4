// Reader of the XML form. A small, strict XML parser for what property lists use: a prologue
// (declaration, comments, a DOCTYPE without an internal subset), elements without
// namespaces, character and the five predefined entity references, CDATA sections and
// comments. Nothing is fetched or expanded beyond that.

#include <charconv>
#include <cmath>
#include <cstdint>

#include "plist/base64.h"
#include "plist/calendar.h"
#include "plist/codec_internal.h"
#include "plist/unicode.h"

namespace plist {

namespace {

using detail::failure;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' || u == '_' ||
         u == '.' || u == ':' || u >= 0x80;
}
bool isXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct Tag {
  std::string_view name;
  std::size_t offset = 0;  // of its '<'
  bool selfClosing = false;
};

class XmlReader {
 public:
  XmlReader(std::string_view text, bool fromUtf16) : text_(text), fromUtf16_(fromUtf16) {}

  Result<Value> read() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    if (auto bad = unicode::findInvalidUtf8(text_)) return failure("invalid UTF-8", *bad);
    for (std::size_t i = pos_; i < text_.size();) {
      const std::size_t at = i;
      if (!isXmlChar(unicode::decodeUtf8(text_, i)))
        return failure("character not allowed in XML (control character or noncharacter)", at);
    }

    if (auto ok = skipMisc(true); !ok) return unexpected(ok.error());
    if (atEnd()) return failure("no property-list element", pos_);
    auto root = readStartTag();
    if (!root) return unexpected(root.error());

    Result<Value> value = Value();
    if (root->name == "plist") {
      if (root->selfClosing) return failure("empty <plist> element", root->offset);
      if (auto ok = skipMisc(false); !ok) return unexpected(ok.error());
      if (startsWith("</")) return failure("empty <plist> element", root->offset);
      auto inner = readStartTag();
      if (!inner) return unexpected(inner.error());
      value = readValue(*inner, 0);
      if (!value) return value;
      if (auto ok = skipMisc(false); !ok) return unexpected(ok.error());
      if (atEnd()) return failure("unterminated <plist>", root->offset);
      if (!startsWith("</")) return failure("<plist> holds more than one value", pos_);
      if (auto ok = readEndTag("plist"); !ok) return unexpected(ok.error());
    } else {
      value = readValue(*root, 0);
      if (!value) return value;
    }
    if (auto ok = skipMisc(false); !ok) return unexpected(ok.error());
    if (!atEnd()) return failure("content after the root element", pos_);
    return value;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  bool startsWith(std::string_view prefix) const { return text_.substr(pos_, prefix.size()) == prefix; }
  void skipSpace() {
    while (!atEnd() && isSpace(text_[pos_])) ++pos_;
  }

  Result<bool> skipComment() {
    const std::size_t start = pos_;
    const std::size_t end = text_.find("--", pos_ + 4);
    if (end == std::string_view::npos) return failure("unterminated comment", start);
    if (text_.substr(end, 3) != "-->") return failure("\"--\" inside a comment", end);
    pos_ = end + 3;
    return true;
  }

  // Skips whitespace, comments, processing instructions and, in the prologue, the XML
  // declaration and a DOCTYPE.
  Result<bool> skipMisc(bool prologue) {
    for (;;) {
      const std::size_t before = pos_;
      skipSpace();
      if (startsWith("<!--")) {
        if (auto ok = skipComment(); !ok) return ok;
      } else if (startsWith("<?")) {
        const std::size_t start = pos_;
        const std::size_t end = text_.find("?>", pos_ + 2);
        if (end == std::string_view::npos) return failure("unterminated processing instruction", start);
        const std::string_view body = text_.substr(pos_ + 2, end - pos_ - 2);
        pos_ = end + 2;
        if (body.substr(0, 3) == "xml" && (body.size() == 3 || isSpace(body[3]))) {
          const bool atDocumentStart = start == 0 || (start == 3 && text_.substr(0, 3) == "\xEF\xBB\xBF");
          if (!prologue || before != start || !atDocumentStart)
            return failure("XML declaration not at the start of the document", start);
          if (auto ok = checkDeclaration(body, start); !ok) return ok;
        }
      } else if (prologue && startsWith("<!DOCTYPE")) {
        if (auto ok = skipDoctype(); !ok) return ok;
      } else {
        return true;
      }
    }
  }

  Result<bool> checkDeclaration(std::string_view body, std::size_t at) {
    const std::size_t key = body.find("encoding");
    if (key == std::string_view::npos) return true;
    std::size_t i = key + 8;
    while (i < body.size() && isSpace(body[i])) ++i;
    if (i >= body.size() || body[i] != '=') return failure("malformed encoding declaration", at);
    ++i;
    while (i < body.size() && isSpace(body[i])) ++i;
    if (i >= body.size() || (body[i] != '"' && body[i] != '\'')) return failure("malformed encoding declaration", at);
    const std::size_t close = body.find(body[i], i + 1);
    if (close == std::string_view::npos) return failure("malformed encoding declaration", at);
    const std::string_view encoding = body.substr(i + 1, close - i - 1);
    if (equalsIgnoringCase(encoding, "utf-8") || equalsIgnoringCase(encoding, "utf8") ||
        equalsIgnoringCase(encoding, "us-ascii") || equalsIgnoringCase(encoding, "ascii"))
      return true;
    if (fromUtf16_ && (equalsIgnoringCase(encoding, "utf-16") || equalsIgnoringCase(encoding, "utf-16be") ||
                       equalsIgnoringCase(encoding, "utf-16le")))
      return true;
    return failure("unsupported encoding \"" + std::string(encoding) + "\"", at);
  }

  Result<bool> skipDoctype() {
    const std::size_t start = pos_;
    pos_ += 9;
    char quote = 0;
    for (; !atEnd(); ++pos_) {
      const char c = text_[pos_];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        // Declarations there could define entities; property lists never need them.
        return failure("DOCTYPE with an internal subset is not supported", pos_);
      } else if (c == '>') {
        ++pos_;
        return true;
      }
    }
    return failure("unterminated DOCTYPE", start);
  }

  std::string_view readName() {
    const std::size_t start = pos_;
    while (!atEnd() && isNameChar(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  Result<Tag> readStartTag() {
    Tag tag;
    tag.offset = pos_;
    if (!startsWith("<") || startsWith("</") || startsWith("<!") || startsWith("<?"))
      return failure(atEnd() ? "unexpected end of document" : "expected an element", pos_);
    ++pos_;
    tag.name = readName();
    if (tag.name.empty()) return failure("malformed element name", tag.offset);
    for (;;) {
      const std::size_t beforeSpace = pos_;
      skipSpace();
      if (atEnd()) return failure("unterminated <" + std::string(tag.name) + "> tag", tag.offset);
      if (text_[pos_] == '>') {
        ++pos_;
        return tag;
      }
      if (startsWith("/>")) {
        pos_ += 2;
        tag.selfClosing = true;
        return tag;
      }
      // An attribute: name = "value". Property lists' attributes carry nothing we use.
      if (pos_ == beforeSpace) return failure("malformed <" + std::string(tag.name) + "> tag", pos_);
      if (readName().empty()) return failure("malformed attribute", pos_);
      skipSpace();
      if (atEnd() || text_[pos_] != '=') return failure("malformed attribute", pos_);
      ++pos_;
      skipSpace();
      if (atEnd() || (text_[pos_] != '"' && text_[pos_] != '\'')) return failure("malformed attribute", pos_);
      const std::size_t close = text_.find(text_[pos_], pos_ + 1);
      if (close == std::string_view::npos) return failure("unterminated attribute value", pos_);
      if (text_.substr(pos_, close - pos_).find('<') != std::string_view::npos)
        return failure("'<' inside an attribute value", pos_);
      pos_ = close + 1;
    }
  }

  Result<bool> readEndTag(std::string_view expected) {
    const std::size_t start = pos_;
    if (!startsWith("</")) return failure("expected </" + std::string(expected) + ">", pos_);
    pos_ += 2;
    const std::string_view name = readName();
    skipSpace();
    if (atEnd() || text_[pos_] != '>') return failure("malformed end tag", start);
    ++pos_;
    if (name != expected)
      return failure("</" + std::string(name) + "> does not close <" + std::string(expected) + ">", start);
    return true;
  }

  // Character data up to the end tag of element tag: references resolved, CDATA taken as
  // is, comments dropped, line ends normalised to line feeds.
  Result<std::string> readText(const Tag& tag) {
    std::string text;
    if (tag.selfClosing) return text;
    for (;;) {
      const std::size_t stop = text_.find_first_of("<&\r]", pos_);
      if (stop == std::string_view::npos) return failure("unterminated <" + std::string(tag.name) + ">", tag.offset);
      text.append(text_.substr(pos_, stop - pos_));
      pos_ = stop;
      const char c = text_[pos_];
      if (c == '\r') {
        text += '\n';
        pos_ += startsWith("\r\n") ? 2 : 1;
      } else if (c == ']') {
        if (startsWith("]]>")) return failure("\"]]>\" in character data", pos_);
        text += ']';
        ++pos_;
      } else if (c == '&') {
        if (auto ok = readReference(text); !ok) return unexpected(ok.error());
      } else if (startsWith("<![CDATA[")) {
        const std::size_t end = text_.find("]]>", pos_ + 9);
        if (end == std::string_view::npos) return failure("unterminated CDATA section", pos_);
        for (std::size_t i = pos_ + 9; i < end; ++i) {
          if (text_[i] != '\r') {
            text += text_[i];
          } else {
            text += '\n';
            if (i + 1 < end && text_[i + 1] == '\n') ++i;
          }
        }
        pos_ = end + 3;
      } else if (startsWith("<!--")) {
        if (auto ok = skipComment(); !ok) return unexpected(ok.error());
      } else if (startsWith("</")) {
        if (auto ok = readEndTag(tag.name); !ok) return unexpected(ok.error());
        return text;
      } else {
        return failure("unexpected element inside <" + std::string(tag.name) + ">: it holds only text", pos_);
      }
    }
  }

  Result<bool> readReference(std::string& text) {
    const std::size_t start = pos_;
    const std::size_t end = text_.find(';', pos_);
    if (end == std::string_view::npos || end - pos_ > 12) return failure("malformed entity reference", start);
    const std::string_view name = text_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    if (name == "lt") text += '<';
    else if (name == "gt") text += '>';
    else if (name == "amp") text += '&';
    else if (name == "quot") text += '"';
    else if (name == "apos") text += '\'';
    else if (!name.empty() && name[0] == '#') {
      const bool hex = name.size() > 1 && name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      std::uint32_t code = 0;
      const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
      if (digits.empty() || result.ec != std::errc() || result.ptr != digits.data() + digits.size() ||
          !isXmlChar(code))
        return failure("invalid character reference &" + std::string(name) + ";", start);
      unicode::appendUtf8(text, code);
    } else {
      return failure("unknown entity &" + std::string(name) + ";", start);
    }
    return true;
  }

  // Skips whitespace and comments between the elements of a container; anything else
  // that is not an element is an error.
  Result<bool> skipBetweenElements(const Tag& container) {
    for (;;) {
      skipSpace();
      if (startsWith("<!--")) {
        if (auto ok = skipComment(); !ok) return ok;
      } else if (startsWith("<?")) {
        const std::size_t end = text_.find("?>", pos_ + 2);
        if (end == std::string_view::npos) return failure("unterminated processing instruction", pos_);
        pos_ = end + 2;
      } else if (atEnd()) {
        return failure("unterminated <" + std::string(container.name) + ">", container.offset);
      } else if (text_[pos_] != '<' || startsWith("<![CDATA[")) {
        return failure("unexpected text inside <" + std::string(container.name) + ">: a container holds only elements",
                       pos_);
      } else {
        return true;
      }
    }
  }

  Result<Value> readValue(const Tag& tag, int depth) {
    const std::string_view name = tag.name;
    if (name == "dict") return readDictionary(tag, depth);
    if (name == "array") return readArray(tag, depth);
    if (name == "true" || name == "false") {
      auto text = readText(tag);
      if (!text) return unexpected(text.error());
      if (!trimmed(*text).empty()) return failure("<" + std::string(name) + "> must be empty", tag.offset);
      return Value(name == "true");
    }

    if (name != "string" && name != "integer" && name != "real" && name != "date" && name != "data") {
      if (name == "key") return failure("<key> outside a dictionary", tag.offset);
      if (name == "plist") return failure("nested <plist> element", tag.offset);
      return failure("unknown element <" + std::string(name) + ">", tag.offset);
    }
    const std::size_t contentAt = pos_;
    auto text = readText(tag);
    if (!text) return unexpected(text.error());
    if (name == "string") return Value(std::move(*text));
    if (name == "integer") return parseInteger(trimmed(*text), contentAt);
    if (name == "real") return parseReal(trimmed(*text), contentAt);
    if (name == "date") return parseDate(trimmed(*text), contentAt);
    std::string bytes;
    if (auto bad = base64::decode(*text, bytes)) return failure("invalid base64 in <data>", contentAt + *bad);
    return Value(Data(std::move(bytes)));
  }

  Result<Value> readDictionary(const Tag& tag, int depth) {
    if (depth >= kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", tag.offset);
    Dictionary dictionary;
    if (tag.selfClosing) return Value(std::move(dictionary));
    for (;;) {
      if (auto ok = skipBetweenElements(tag); !ok) return unexpected(ok.error());
      if (startsWith("</")) {
        if (auto ok = readEndTag("dict"); !ok) return unexpected(ok.error());
        break;
      }
      auto keyTag = readStartTag();
      if (!keyTag) return unexpected(keyTag.error());
      if (keyTag->name != "key")
        return failure("expected <key> in <dict>, found <" + std::string(keyTag->name) + ">", keyTag->offset);
      auto key = readText(*keyTag);
      if (!key) return unexpected(key.error());
      if (auto ok = skipBetweenElements(tag); !ok) return unexpected(ok.error());
      if (startsWith("</")) return failure("key \"" + *key + "\" has no value", keyTag->offset);
      auto valueTag = readStartTag();
      if (!valueTag) return unexpected(valueTag.error());
      auto value = readValue(*valueTag, depth + 1);
      if (!value) return value;
      dictionary.set(std::move(*key), std::move(*value));  // a repeated key: the last one wins
    }
    // Keyed archives spell a UID as a dictionary holding only "CF$UID".
    if (dictionary.size() == 1) {
      if (const Value* uid = dictionary.get("CF$UID")) {
        if (auto integer = uid->asInteger(); integer && integer->toUInt64())
          return Value(Uid{*integer->toUInt64()});
      }
    }
    return Value(std::move(dictionary));
  }

  Result<Value> readArray(const Tag& tag, int depth) {
    if (depth >= kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", tag.offset);
    Array array;
    if (tag.selfClosing) return Value(std::move(array));
    for (;;) {
      if (auto ok = skipBetweenElements(tag); !ok) return unexpected(ok.error());
      if (startsWith("</")) {
        if (auto ok = readEndTag("array"); !ok) return unexpected(ok.error());
        return Value(std::move(array));
      }
      auto elementTag = readStartTag();
      if (!elementTag) return unexpected(elementTag.error());
      auto element = readValue(*elementTag, depth + 1);
      if (!element) return element;
      array.push_back(std::move(*element));
    }
  }

  static Result<Value> parseInteger(std::string_view text, std::size_t at) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
      negative = text[0] == '-';
      text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      base = 16;
      text.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (text.empty() || result.ptr != text.data() + text.size())
      return failure("malformed integer \"" + std::string(text) + "\"", at);
    if (result.ec == std::errc::result_out_of_range) return failure("integer out of range: more than 64 bits", at);
    if (!negative) return Value(Integer::fromUnsigned(magnitude));
    if (magnitude > (std::uint64_t{1} << 63)) return failure("integer out of range: below -2^63", at);
    return Value(Integer(static_cast<std::int64_t>(0 - magnitude)));
  }

  static Result<Value> parseReal(std::string_view text, std::size_t at) {
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
      negative = body[0] == '-';
      body.remove_prefix(1);
    }
    if (equalsIgnoringCase(body, "inf") || equalsIgnoringCase(body, "infinity"))
      return Value(negative ? -HUGE_VAL : HUGE_VAL);
    if (equalsIgnoringCase(body, "nan")) return Value(std::nan(""));
    double real = 0;
    const auto result = std::from_chars(body.data(), body.data() + body.size(), real);
    if (body.empty() || !(body[0] == '.' || (body[0] >= '0' && body[0] <= '9')) ||
        result.ptr != body.data() + body.size() || result.ec == std::errc::invalid_argument)
      return failure("malformed real \"" + std::string(text) + "\"", at);
    if (result.ec == std::errc::result_out_of_range) return failure("real out of range: beyond what a double holds", at);
    return Value(negative ? -real : real);
  }

  // YYYY[-MM[-DD[THH[:MM[:SS]]]]]Z
  static Result<Value> parseDate(std::string_view text, std::size_t at) {
    std::size_t i = 0;
    auto number = [&](std::size_t digits, int& out) {
      if (text.size() - i < digits) return false;
      int value = 0;
      for (std::size_t k = 0; k < digits; ++k) {
        const char c = text[i + k];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
      }
      out = value;
      i += digits;
      return true;
    };
    int fields[6] = {0, 1, 1, 0, 0, 0};
    const char separators[6] = {0, '-', '-', 'T', ':', ':'};
    const std::size_t widths[6] = {4, 2, 2, 2, 2, 2};
    bool ok = number(4, fields[0]);
    for (int f = 1; ok && f < 6 && i < text.size() && text[i] == separators[f]; ++f) {
      ++i;
      ok = number(widths[f], fields[f]);
    }
    if (!ok || i + 1 != text.size() || text[i] != 'Z')
      return failure("malformed date \"" + std::string(text) + "\"", at);
    const int year = fields[0], month = fields[1], day = fields[2];
    const int hour = fields[3], minute = fields[4], second = fields[5];
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > calendar::daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
      return failure("invalid date \"" + std::string(text) + "\"", at);
    const std::int64_t days = calendar::daysSinceReferenceDate(year, month, day);
    return Value(Date{static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second)});
  }

  std::string_view text_;
  bool fromUtf16_;
  std::size_t pos_ = 0;
};

// UTF-16 documents (with a byte-order mark) are converted to UTF-8 first; offsets in errors
// then count bytes of the converted text.
std::optional<std::string> utf8FromUtf16(std::string_view bytes, Error& error) {
  if (bytes.size() < 2) return std::nullopt;
  const auto b0 = static_cast<unsigned char>(bytes[0]), b1 = static_cast<unsigned char>(bytes[1]);
  const bool bigEndian = b0 == 0xFE && b1 == 0xFF;
  if (!bigEndian && !(b0 == 0xFF && b1 == 0xFE)) return std::nullopt;
  if (bytes.size() % 2) {
    error = {"odd number of bytes in UTF-16 text", bytes.size() - 1};
    return std::string();
  }
  std::string swapped(bytes.substr(2));
  if (!bigEndian)
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  std::string text;
  if (auto bad = unicode::utf16BigEndianToUtf8(reinterpret_cast<const unsigned char*>(swapped.data()),
                                               swapped.size() / 2, text)) {
    error = {"unpaired UTF-16 surrogate", 2 + 2 * *bad};
    return std::string();
  }
  return text;
}

}  // namespace

Result<Value> readXml(std::string_view bytes) {
  Error error;
  if (std::optional<std::string> converted = utf8FromUtf16(bytes, error)) {
    if (!error.message.empty()) return unexpected(std::move(error));
    return XmlReader(*converted, true).read();
  }
  return XmlReader(bytes, false).read();
}

}  // namespace plist
