// Fuzzes the XML reader (through format detection); whatever it accepts must survive both
// writers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const plist::ReadResult value = plist::read(std::string_view(reinterpret_cast<const char*>(data), size));
  if (value) plistfuzz::checkRoundTrips(*value, value.format());
  return 0;
}
