// A tiny module for bundle tests: placed inside or outside an application bundle, it tells
// where one of its own functions lives.
extern "C" __attribute__((visibility("default"))) const void* quillaneBundleProbeAddress() {
  return reinterpret_cast<const void*>(&quillaneBundleProbeAddress);
}
