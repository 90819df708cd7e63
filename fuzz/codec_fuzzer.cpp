// The channel decoder takes bytes from another process: whatever they are, it must answer
// with a value or a CodecError, and what it accepts must survive encoding and decoding again.
// Values are compared by their encodings, so that a NaN (never equal to itself) compares by
// its bits.
#include <cstdint>
#include <cstdlib>

#include "host/standard_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmo::host;
  const ByteView bytes(data, size);
  try {
    const EncodableValue value = decodeMessage(bytes);
    // Re-encoding may pick shorter size forms than the input used, but must decode alike.
    const Bytes encoded = encodeMessage(value);
    if (encodeMessage(decodeMessage(encoded)) != encoded) std::abort();
  } catch (const CodecError&) {
  }
  try {
    const Bytes encoded = encodeMethodCall(decodeMethodCall(bytes));
    if (encodeMethodCall(decodeMethodCall(encoded)) != encoded) std::abort();
  } catch (const CodecError&) {
  }
  try {
    (void)decodeEnvelope(bytes);
  } catch (const CodecError&) {
  }
  return 0;
}
