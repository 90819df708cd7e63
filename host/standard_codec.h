// The host framework's standard message codec and standard method codec, byte for byte.
//
// Little-endian; sizes in one byte below 254, else 254 + uint16, else 255 + uint32; float64
// values and typed lists aligned to their element size counted from the start of the whole
// message (padding written even for empty lists). Decoding is strict: reads past the end,
// counts larger than the bytes left, reserved and extension tags (15 and up) and bytes left
// over are refused with CodecError, never a crash or an unbounded allocation. So is a message
// that would decode into more than kMaxDecodedValues values or kMaxDecodedBytes bytes: a byte
// of input can become a value of several dozen bytes, so its length alone bounds nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "host/encodable_value.h"
#include "host/method_call.h"

namespace velmo::host {

class CodecError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// The budget of one decoded message. Bytes are counted as the decoded values hold them (each
// value, the characters and elements it owns, each map entry's index); the vectors that hold
// them may reserve up to twice that while they grow.
inline constexpr size_t kMaxDecodedValues = size_t{1} << 20;
inline constexpr size_t kMaxDecodedBytes = size_t{64} << 20;
// The most a message of |length| bytes can decode into, within the budget.
size_t decodedBytesBound(size_t length);

Bytes encodeMessage(const EncodableValue& value);
EncodableValue decodeMessage(ByteView bytes);

// A call is the name as a string value followed by the argument value (null when absent).
Bytes encodeMethodCall(const MethodCall& call);
MethodCall decodeMethodCall(ByteView bytes);

struct ErrorEnvelope {
  std::string code;
  std::optional<std::string> message;  // nullopt is written as null
  EncodableValue details;
  friend bool operator==(const ErrorEnvelope&, const ErrorEnvelope&) = default;
};

// Success: 0x00 + value. Error: 0x01 + code + message + details (no stack trace).
// "Not implemented" is an empty reply and is not an envelope.
Bytes encodeSuccessEnvelope(const EncodableValue& result);
Bytes encodeErrorEnvelope(const ErrorEnvelope& error);
std::variant<EncodableValue, ErrorEnvelope> decodeEnvelope(ByteView bytes);

}  // namespace velmo::host
