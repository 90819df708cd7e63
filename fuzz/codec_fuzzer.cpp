// The channel decoder takes bytes from another process: whatever they are, it must answer
// with a value or a CodecError, and what it accepts must encode back to the same bytes.
#include <cstdint>
#include <cstdlib>

#include "host/standard_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmo::host;
  const ByteView bytes(data, size);
  try {
    const EncodableValue value = decodeMessage(bytes);
    // Re-encoding may pick shorter size forms than the input used, but must decode alike.
    if (!(decodeMessage(encodeMessage(value)) == value)) std::abort();
  } catch (const CodecError&) {
  }
  try {
    const MethodCall call = decodeMethodCall(bytes);
    const MethodCall again = decodeMethodCall(encodeMethodCall(call));
    if (again.method != call.method || !(again.arguments == call.arguments)) std::abort();
  } catch (const CodecError&) {
  }
  try {
    (void)decodeEnvelope(bytes);
  } catch (const CodecError&) {
  }
  return 0;
}
