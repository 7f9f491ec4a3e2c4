// Writer of the XML form, laid out as property-list files conventionally are: one element
// per line, tabs for nesting.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "plist/base64.h"
#include "plist/calendar.h"
#include "plist/codec_internal.h"
#include "plist/unicode.h"

namespace plist {

namespace {

using detail::failure;

constexpr std::string_view kPrologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// Counts the values the XML form spells out, shared sub-values once per place, stopping once
// the count passes limit. Linear in the number of distinct containers.
class ExpansionCounter {
 public:
  explicit ExpansionCounter(std::size_t limit) : limit_(limit) {}

  std::size_t count(const Value& value, int depth = 0) {
    // Too deep a value is refused by the writer itself.
    if ((!value.isDictionary() && !value.isArray()) || depth > kMaxDepth) return 1;
    const void* identity = value.identity();
    if (identity) {
      if (auto found = counted_.find(identity); found != counted_.end()) return found->second;
    }
    std::size_t total = 1;
    auto add = [&](std::size_t more) { total = more > limit_ - total ? limit_ + 1 : total + more; };
    if (const Dictionary* dictionary = value.asDictionary()) {
      for (const DictionaryEntry& entry : *dictionary) {
        add(1 + count(entry.value(), depth + 1));
        if (total > limit_) break;
      }
    } else {
      for (const Value& element : *value.asArray()) {
        add(count(element, depth + 1));
        if (total > limit_) break;
      }
    }
    if (identity) counted_.emplace(identity, total);
    return total;
  }

 private:
  std::size_t limit_;
  std::unordered_map<const void*, std::size_t> counted_;
};

class XmlWriter {
 public:
  explicit XmlWriter(std::string buffer) : out_(std::move(buffer)) { out_.clear(); }

  Result<std::string> write(const Value& root) {
    out_.append(kPrologue);
    if (auto written = writeValue(root, 0); !written) return unexpected(written.error());
    out_.append("</plist>\n");
    return std::move(out_);
  }

 private:
  void indent(int depth) { out_.append(static_cast<std::size_t>(depth), '\t'); }

  // Escapes text for element content. Carriage returns are written as references so that
  // XML's line-end normalisation does not turn them into line feeds.
  Result<bool> appendText(std::string_view text) {
    if (auto bad = unicode::findInvalidUtf8(text)) return failure("string is not valid UTF-8", 0);
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      switch (c) {
        case '&': out_.append("&amp;"); break;
        case '<': out_.append("&lt;"); break;
        case '>': out_.append("&gt;"); break;
        case '\r': out_.append("&#13;"); break;
        case '\t':
        case '\n': out_ += static_cast<char>(c); break;
        default:
          if (c < 0x20) return failure("string holds a control character (" + detail::hexByte(c) +
                                           ") that XML cannot carry",
                                       0);
          // U+FFFE and U+FFFF are not XML characters either.
          if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
              (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE)
            return failure("string holds a noncharacter (U+FFFE or U+FFFF) that XML cannot carry", 0);
          out_ += static_cast<char>(c);
      }
    }
    return true;
  }

  Result<bool> writeElement(std::string_view tag, std::string_view text, int depth) {
    indent(depth);
    out_ += '<';
    out_ += tag;
    out_ += '>';
    if (auto ok = appendText(text); !ok) return ok;
    out_ += "</";
    out_ += tag;
    out_ += ">\n";
    return true;
  }

  void writeSimple(std::string_view tag, std::string_view content, int depth) {
    indent(depth);
    out_ += '<';
    out_ += tag;
    out_ += '>';
    out_ += content;
    out_ += "</";
    out_ += tag;
    out_ += ">\n";
  }

  static std::string realText(double real) {
    if (std::isnan(real)) return "nan";
    if (std::isinf(real)) return real > 0 ? "+infinity" : "-infinity";
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, real);
    return std::string(buffer, result.ptr);
  }

  Result<bool> writeValue(const Value& value, int depth) {
    if (depth > kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", 0);
    switch (value.kind()) {
      case Kind::Dictionary: {
        const Dictionary& dictionary = *value.asDictionary();
        indent(depth);
        if (dictionary.empty()) {
          out_ += "<dict/>\n";
          return true;
        }
        out_ += "<dict>\n";
        for (const DictionaryEntry& entry : dictionary) {
          if (auto ok = writeElement("key", entry.sharedKey().view(), depth + 1); !ok) return ok;
          if (auto ok = writeValue(entry.value(), depth + 1); !ok) return ok;
        }
        indent(depth);
        out_ += "</dict>\n";
        return true;
      }
      case Kind::Array: {
        const Array& array = *value.asArray();
        indent(depth);
        if (array.empty()) {
          out_ += "<array/>\n";
          return true;
        }
        out_ += "<array>\n";
        for (const Value& element : array)
          if (auto ok = writeValue(element, depth + 1); !ok) return ok;
        indent(depth);
        out_ += "</array>\n";
        return true;
      }
      case Kind::String:
        return writeElement("string", value.sharedText()->view(), depth);
      case Kind::Integer:
        writeSimple("integer", value.asInteger()->toString(), depth);
        return true;
      case Kind::Real:
        writeSimple("real", realText(*value.asReal()), depth);
        return true;
      case Kind::Boolean:
        indent(depth);
        out_ += *value.asBoolean() ? "<true/>\n" : "<false/>\n";
        return true;
      case Kind::Date: {
        const double seconds = value.asDate()->secondsSinceReferenceDate;
        // Years 1 to 9999 are what the four-digit form can express.
        if (!(seconds >= -63113904000.0 && seconds < 252423993600.0))
          return failure("date outside the years 1 to 9999 cannot be written as XML", 0);
        const calendar::CivilTime t = calendar::civilFromSeconds(seconds);
        char text[32];
        std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(t.year),
                      t.month, t.day, t.hour, t.minute, t.second);
        writeSimple("date", text, depth);
        return true;
      }
      case Kind::Data: {
        const std::string_view bytes = value.asData()->bytes();
        indent(depth);
        out_ += "<data>\n";
        const std::string tabs(static_cast<std::size_t>(depth), '\t');
        base64::encodeLines(out_, bytes, 68, tabs);
        indent(depth);
        out_ += "</data>\n";
        return true;
      }
      case Kind::Uid: {
        // XML has no UID element; keyed archives spell a UID as this one-entry dictionary.
        indent(depth);
        out_ += "<dict>\n";
        writeSimple("key", "CF$UID", depth + 1);
        writeSimple("integer", std::to_string(value.asUid()->value), depth + 1);
        indent(depth);
        out_ += "</dict>\n";
        return true;
      }
    }
    return failure("unknown value kind", 0);
  }

  std::string out_;
};

}  // namespace

Result<std::string> detail::writeXmlChecked(const Value& value, std::string buffer) {
  if (ExpansionCounter(detail::kMaxExpandedValues).count(value) > detail::kMaxExpandedValues)
    return failure("value repeats shared parts too often to be written out as XML (over " +
                       std::to_string(detail::kMaxExpandedValues) + " values)",
                   0);
  return XmlWriter(std::move(buffer)).write(value);
}

}  // namespace plist
