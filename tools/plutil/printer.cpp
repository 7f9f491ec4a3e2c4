#include <cstdio>
#include <ostream>
#include <string>

#include "plist/calendar.h"
#include "plist/unicode.h"
#include "plutil.h"

namespace plutil {

namespace {

class Printer {
 public:
  Printer(std::ostream& out, std::size_t maxValues) : out_(out), budget_(maxValues) {}

  bool print(const plist::Value& value, int depth) {
    if (budget_ == 0) return false;
    --budget_;
    using plist::Kind;
    switch (value.kind()) {
      case Kind::Dictionary: {
        const plist::Dictionary& dictionary = *value.asDictionary();
        out_ << "{\n";
        for (const plist::DictionaryEntry& entry : dictionary) {
          indent(depth + 1);
          quoted(entry.key());
          out_ << " => ";
          if (!print(entry.value(), depth + 1)) return false;
        }
        indent(depth);
        out_ << "}\n";
        return true;
      }
      case Kind::Array: {
        const plist::Array& array = *value.asArray();
        out_ << "[\n";
        for (std::size_t i = 0; i < array.size(); ++i) {
          indent(depth + 1);
          out_ << i << " => ";
          if (!print(array[i], depth + 1)) return false;
        }
        indent(depth);
        out_ << "]\n";
        return true;
      }
      case Kind::String:
        quoted(*value.asString());
        break;
      case Kind::Integer:
        out_ << value.asInteger()->toString();
        break;
      case Kind::Real: {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", *value.asReal());
        out_ << text;
        break;
      }
      case Kind::Boolean:
        out_ << (*value.asBoolean() ? "true" : "false");
        break;
      case Kind::Date:
        date(value.asDate()->secondsSinceReferenceDate);
        break;
      case Kind::Data:
        data(value.asData()->bytes());
        break;
      case Kind::Uid:
        out_ << "UID(" << value.asUid()->value << ")";
        break;
    }
    out_ << '\n';
    return true;
  }

 private:
  void indent(int depth) { out_ << std::string(static_cast<std::size_t>(depth) * 2, ' '); }

  // Control characters are escaped: a file must not be able to drive the terminal.
  void quoted(std::string_view text) {
    std::string rendered = "\"";
    const bool valid = !plist::unicode::findInvalidUtf8(text);
    for (std::size_t i = 0; i < text.size();) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c == '"' || c == '\\') {
        rendered += '\\';
        rendered += static_cast<char>(c);
      } else if (c == '\n') {
        rendered += "\\n";
      } else if (c == '\t') {
        rendered += "\\t";
      } else if (c == '\r') {
        rendered += "\\r";
      } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !valid)) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        rendered += escape;
      } else if (c >= 0x80) {
        const std::size_t start = i;
        const char32_t code = plist::unicode::decodeUtf8(text, i);
        if (code >= 0x80 && code < 0xA0) {  // C1 controls
          char escape[10];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
          rendered += escape;
        } else {
          rendered.append(text.substr(start, i - start));
        }
        continue;
      } else {
        rendered += static_cast<char>(c);
      }
      ++i;
    }
    rendered += '"';
    out_ << rendered;
  }

  void date(double seconds) {
    if (!(seconds > -1e15 && seconds < 1e15)) {
      out_ << "date(" << seconds << " s since 2001-01-01)";
      return;
    }
    const plist::calendar::CivilTime t = plist::calendar::civilFromSeconds(seconds);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d +0000", static_cast<long long>(t.year), t.month,
                  t.day, t.hour, t.minute, t.second);
    out_ << text;
  }

  void data(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    auto add = [&](std::string_view part) {
      for (unsigned char c : part) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
      }
    };
    if (bytes.size() <= 32) {
      add(bytes);
    } else {
      add(bytes.substr(0, 24));
      hex += " ... ";
      add(bytes.substr(bytes.size() - 8));
    }
    out_ << "{length = " << bytes.size() << ", bytes = 0x" << hex << "}";
  }

  std::ostream& out_;
  std::size_t budget_;
};

}  // namespace

bool print(std::ostream& out, const plist::Value& value, std::size_t maxValues) {
  return Printer(out, maxValues).print(value, 0);
}

}  // namespace plutil
