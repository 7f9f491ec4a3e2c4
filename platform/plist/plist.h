#pragma once
// Reading and writing property lists in their binary ("bplist00") and XML forms.
//
// Readers take untrusted bytes: any malformed input yields an Error saying what is wrong and
// at which byte offset, never a crash. Work and memory stay linear in the input's size;
// nesting deeper than kMaxDepth is refused. Both readers and writers run in linear time.

#include <cstddef>
#include <string>
#include <string_view>

#include "plist/expected.h"
#include "plist/value.h"

namespace plist {

enum class Format { Binary, Xml };

// "binary" or "XML".
const char* formatName(Format format);

// Containers nested deeper than this are refused by readers and writers.
inline constexpr int kMaxDepth = 512;

struct Error {
  std::string message;     // what is wrong, e.g. "object reference 12 out of range"
  std::size_t offset = 0;  // byte offset in the input where it was found (0 for writers)

  // "message (at byte N)"
  std::string describe() const;
};

template <typename T>
using Result = Expected<T, Error>;

// The value read and the format it was read in.
class ReadResult : public Result<Value> {
 public:
  ReadResult(Value value, Format format) : Result<Value>(std::move(value)), format_(format) {}
  ReadResult(Unexpected<Error> failure, Format format)
      : Result<Value>(std::move(failure)), format_(format) {}
  // The detected format (also set when the error is in the body of a recognised format).
  Format format() const { return format_; }

 private:
  Format format_;
};

// Detects the format (binary by its "bplist00" header, otherwise XML) and reads the value.
ReadResult read(std::string_view bytes);
// Only the binary form / only the XML form.
Result<Value> readBinary(std::string_view bytes);
Result<Value> readXml(std::string_view bytes);

// Serializes value. Fails (with offset 0) when the value cannot be represented: a string that
// is not valid UTF-8, text that XML cannot carry (control characters other than tab, line
// feed and carriage return), a date outside years 1..9999 in XML, nesting deeper than
// kMaxDepth, or (XML only) shared sub-values that would expand beyond a sane size.
Result<std::string> write(const Value& value, Format format);
// The same for a dictionary, without first copying one that was edited in place.
Result<std::string> write(const Dictionary& dictionary, Format format);
// The same, written into buffer's memory when it is large enough: the bytes the value was
// read from, say, once they are no longer needed, so that converting a large file takes no
// second buffer of its size.
Result<std::string> write(const Value& value, Format format, std::string buffer);

// Same as write(); an empty string when the value cannot be written (never empty otherwise).
std::string writeBinary(const Value& value);
std::string writeBinary(const Dictionary& dictionary);
std::string writeXml(const Value& value);

}  // namespace plist
