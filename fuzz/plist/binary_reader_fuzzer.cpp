// Fuzzes the binary reader; whatever it accepts must survive both writers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto value = plist::readBinary(std::string_view(reinterpret_cast<const char*>(data), size));
  if (value) plistfuzz::checkRoundTrips(*value, plist::Format::Binary);
  return 0;
}
