#include "plist/plist.h"

// Interim: the readers and writers land in the next change.
namespace plist {

const char* formatName(Format format) { return format == Format::Binary ? "binary" : "XML"; }

std::string Error::describe() const {
  return message + " (at byte " + std::to_string(offset) + ")";
}

ReadResult read(std::string_view bytes) {
  const Format format = bytes.substr(0, 8) == "bplist00" ? Format::Binary : Format::Xml;
  return ReadResult(unexpected(Error{"reader not available yet", 0}), format);
}
Result<Value> readBinary(std::string_view) { return unexpected(Error{"reader not available yet", 0}); }
Result<Value> readXml(std::string_view) { return unexpected(Error{"reader not available yet", 0}); }
Result<std::string> write(const Value&, Format) { return unexpected(Error{"writer not available yet", 0}); }
std::string writeBinary(const Value&) { return {}; }
std::string writeXml(const Value&) { return {}; }

}  // namespace plist
