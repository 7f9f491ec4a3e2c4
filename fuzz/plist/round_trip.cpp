#include "round_trip.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace plistfuzz {

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "round trip failed: %s\n", what);
  std::abort();
}

// Equality across an XML round trip: dates keep whole seconds only, and a UID comes back
// from its one-entry "CF$UID" dictionary spelling (and the other way round).
bool sameAfterXml(const plist::Value& original, const plist::Value& copy) {
  if (original.isDate() && copy.isDate()) {
    const double seconds = original.asDate()->secondsSinceReferenceDate;
    return std::floor(seconds) == copy.asDate()->secondsSinceReferenceDate;
  }
  if (const plist::Dictionary* d = original.asDictionary(); d && copy.isUid()) {
    const plist::Value* uid = d->get("CF$UID");
    return d->size() == 1 && uid && uid->asInteger() && uid->asInteger()->toUInt64() == copy.asUid()->value;
  }
  if (original.kind() != copy.kind()) return false;
  if (const plist::Dictionary* a = original.asDictionary()) {
    const plist::Dictionary& b = *copy.asDictionary();
    if (a->size() != b.size()) return false;
    for (const auto& [key, value] : *a) {
      const plist::Value* other = b.get(key);
      if (!other || !sameAfterXml(value, *other)) return false;
    }
    return true;
  }
  if (const plist::Array* a = original.asArray()) {
    const plist::Array& b = *copy.asArray();
    if (a->size() != b.size()) return false;
    for (std::size_t i = 0; i < a->size(); ++i)
      if (!sameAfterXml((*a)[i], b[i])) return false;
    return true;
  }
  return original == copy;
}

}  // namespace

void checkRoundTrips(const plist::Value& value, plist::Format readAs) {
  // Anything read is within the nesting limit and holds valid text: binary always works.
  const auto binary = plist::write(value, plist::Format::Binary);
  if (!binary) fail(binary.error().message.c_str());
  const auto fromBinary = plist::readBinary(*binary);
  if (!fromBinary) fail(fromBinary.error().message.c_str());
  if (!(*fromBinary == value)) fail("binary copy differs");

  // XML may refuse (control characters, far dates, expanding shared parts), but never for a
  // value that was itself read from XML.
  const auto xml = plist::write(value, plist::Format::Xml);
  if (!xml) {
    if (readAs == plist::Format::Xml) fail(xml.error().message.c_str());
    return;
  }
  const auto fromXml = plist::readXml(*xml);
  if (!fromXml) fail(fromXml.error().message.c_str());
  if (readAs == plist::Format::Xml ? !(*fromXml == value) : !sameAfterXml(value, *fromXml)) fail("XML copy differs");
}

}  // namespace plistfuzz
