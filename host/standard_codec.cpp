#include "host/standard_codec.h"

namespace velmo::host {

Bytes encodeMessage(const EncodableValue&) {
  return {};
}
EncodableValue decodeMessage(ByteView) {
  throw CodecError("not built yet");
}
Bytes encodeMethodCall(const MethodCall&) {
  return {};
}
MethodCall decodeMethodCall(ByteView) {
  throw CodecError("not built yet");
}
Bytes encodeSuccessEnvelope(const EncodableValue&) {
  return {};
}
Bytes encodeErrorEnvelope(const ErrorEnvelope&) {
  return {};
}
std::variant<EncodableValue, ErrorEnvelope> decodeEnvelope(ByteView) {
  throw CodecError("not built yet");
}

}  // namespace velmo::host
