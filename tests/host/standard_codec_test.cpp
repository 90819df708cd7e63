// Wire-format tests for the standard message and method codec: exact bytes for each wire type
// (the bytes the host framework's own clients produce), then malformed input.
#include "host/standard_codec.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::host {
namespace {

enum class Shape { Message, Call, Success, Error };

struct Case {
  const char* name;
  EncodableValue value;
  Bytes bytes;
  Shape shape = Shape::Message;
};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Bytes from hexadecimal text; spaces only group the digits.
Bytes hex(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i < text.size(); i += text[i] == ' ' ? 1 : 2) {
    if (text[i] != ' ') out.push_back(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
  }
  return out;
}

// A call is written as the list [name, arguments]; an error envelope as [code, message or
// null, details].
Bytes encodeAs(Shape shape, const EncodableValue& value) {
  const auto* parts = std::get_if<EncodableList>(&value);
  if (shape == Shape::Message) return encodeMessage(value);
  if (shape == Shape::Success) return encodeSuccessEnvelope(value);
  if (shape == Shape::Call)
    return encodeMethodCall({std::get<std::string>(parts->at(0)), parts->at(1)});
  std::optional<std::string> message;
  if (!parts->at(1).isNull()) message = std::get<std::string>(parts->at(1));
  return encodeErrorEnvelope({std::get<std::string>(parts->at(0)), message, parts->at(2)});
}

EncodableValue decodeAs(Shape shape, ByteView bytes) {
  if (shape == Shape::Message) return decodeMessage(bytes);
  if (shape == Shape::Call) {
    const MethodCall call = decodeMethodCall(bytes);
    return EncodableList{call.method, call.arguments};
  }
  const auto envelope = decodeEnvelope(bytes);
  EXPECT_EQ(envelope.index(), shape == Shape::Success ? 0u : 1u);
  if (const auto* result = std::get_if<EncodableValue>(&envelope)) return *result;
  const auto& error = std::get<ErrorEnvelope>(envelope);
  return EncodableList{
      error.code, error.message ? EncodableValue(*error.message) : EncodableValue(), error.details};
}

// Encodes the case's value to exactly its bytes and decodes the bytes back to the value.
void CheckEncodeDecode(const Case& c) {
  SCOPED_TRACE(c.name);
  EXPECT_EQ(encodeAs(c.shape, c.value), c.bytes);
  EXPECT_EQ(decodeAs(c.shape, c.bytes), c.value);
}

TEST(StandardCodec, ExactBytes) {
  const std::vector<Case> cases = {
      {"null", EncodableValue(), hex("00")},
      {"true", true, hex("01")},
      {"false", false, hex("02")},
      {"int32", std::numeric_limits<int32_t>::min(), hex("03 00000080")},
      // The first integer above int32 range, as a Dart client sends it.
      {"int64", int64_t{2147483648}, hex("04 0000008000000000")},
      {"float64 aligned to the message start", 1.0, hex("06 00000000000000 000000000000f03f")},
      // Outside the Basic Multilingual Plane: one four-byte UTF-8 sequence, counted in bytes.
      {"non-BMP string", "h\U0001F602w", hex("07 06 68f09f988277")},
      {"uint8list 253", Bytes(253, 7), cat({hex("08 fd"), Bytes(253, 7)})},
      {"uint8list 254", Bytes(254, 7), cat({hex("08 fe fe00"), Bytes(254, 7)})},
      {"uint8list 65535", Bytes(65535, 7), cat({hex("08 fe ffff"), Bytes(65535, 7)})},
      {"uint8list 65536", Bytes(65536, 7), cat({hex("08 ff 00000100"), Bytes(65536, 7)})},
      {"int32list", std::vector<int32_t>{1, -1}, hex("09 02 0000 01000000 ffffffff")},
      {"int64list", std::vector<int64_t>{-2}, hex("0a 01 000000000000 feffffffffffffff")},
      {"float32list", std::vector<float>{1.0f, -2.5f}, hex("0e 02 0000 0000803f 000020c0")},
      {"float64list", std::vector<double>{1.0}, hex("0b 01 000000000000 000000000000f03f")},
      {"empty float64list", std::vector<double>{}, hex("0b 00 000000000000")},
      // Unaligned, with a value after it: skipping the padding would make the 5 read as garbage.
      {"empty int32list inside a list",
       EncodableList{EncodableValue(), std::vector<int32_t>{}, int32_t{5}},
       hex("0c 03 00 09 00 000000 03 05000000")},
      // The tag of 3.14 sits at offset 10, so five zero bytes bring its data to offset 16.
      {"float64 inside a list",
       EncodableList{EncodableValue(), "hello", 3.14, int32_t{47},
                     EncodableList{int32_t{42}, "nested"}},
       hex("0c 05 00 07 05 68656c6c6f 06 0000000000 1f85eb51b81e0940 03 2f000000"
           "0c 02 03 2a000000 07 06 6e6573746564")},
      // Written in the order given, any key type, read back as sent.
      {"map", EncodableMap{{"z", int32_t{1}}, {"a", EncodableValue()}, {int32_t{2}, "b"}},
       hex("0d 03 07017a 0301000000 070161 00 0302000000 070162")},
      {"call", EncodableList{"hello", EncodableValue()}, hex("07 05 68656c6c6f 00"), Shape::Call},
      // The method name shifts the alignment of the float in the arguments.
      {"call with a float argument", EncodableList{"render", EncodableMap{{"w", 1.5}}},
       hex("07 06 72656e646572 0d 01 070177 06 0000 000000000000f83f"), Shape::Call},
      // The flag byte moves the float tag to offset 1, so six padding bytes follow it.
      {"success", 3.14, hex("00 06 000000000000 1f85eb51b81e0940"), Shape::Success},
      {"bare error", EncodableList{"E", EncodableValue(), EncodableValue()}, hex("01 070145 00 00"),
       Shape::Error},
      // An empty message stays a string; it does not turn into null.
      {"error with an empty message", EncodableList{"E", "", EncodableValue()},
       hex("01 070145 0700 00"), Shape::Error},
      {"error with aligned details", EncodableList{"", "\u5716", EncodableMap{{"n", 1.0}}},
       hex("01 0700 0703e59c96 0d 01 07016e 06 0000 000000000000f03f"), Shape::Error},
  };
  for (const Case& c : cases) CheckEncodeDecode(c);
  // Read-only forms: the empty message, a "large int" (text), and a map whose key repeats,
  // which keeps the later value.
  EXPECT_EQ(decodeMessage(Bytes{}), EncodableValue());
  EXPECT_EQ(decodeMessage(hex("05 03 316630")), EncodableValue("1f0"));
  EXPECT_EQ(decodeMessage(hex("0d 02 07 01 61 03 01000000 07 01 61 03 02000000")),
            EncodableValue(EncodableMap{{"a", int32_t{2}}}));
}

TEST(StandardCodec, MalformedInputIsRefused) {
  // Every proper prefix of a valid message, call or envelope. The empty message alone is null.
  const std::vector<std::pair<Shape, Bytes>> valid = {
      {Shape::Message, encodeMessage(EncodableList{"hello", 3.14, EncodableList{int32_t{42}}})},
      {Shape::Message, encodeMessage(EncodableMap{{"a", std::vector<int64_t>{1, 2}}})},
      {Shape::Call, encodeMethodCall({"render", EncodableMap{{"w", 1.5}}})},
      {Shape::Success, encodeSuccessEnvelope(EncodableMap{{"path", "/tmp/x.png"}})},
      {Shape::Error, encodeErrorEnvelope({"PHOTO_PROCESSING", "msg", std::vector<double>{2.0}})},
  };
  for (const auto& [shape, full] : valid) {
    ASSERT_NO_THROW(decodeAs(shape, full));
    for (size_t n = shape == Shape::Message ? 1 : 0; n < full.size(); ++n) {
      EXPECT_THROW(decodeAs(shape, ByteView(full.data(), n)), CodecError) << n;
    }
  }

  Bytes tooDeep;
  for (int i = 0; i < 1'000'000; ++i) tooDeep.insert(tooDeep.end(), {0x0c, 0x01});
  tooDeep.push_back(0x00);
  EXPECT_NO_THROW(decodeMessage(ByteView(tooDeep).last(2001)));  // 1000 levels are allowed
  const std::vector<std::pair<Shape, Bytes>> bad = {
      {Shape::Message, hex("0c ffffffffff")},                        // list of 4 billion
      {Shape::Message, hex("0d 02 000000")},                         // map of 2 needs 4 bytes
      {Shape::Message, hex("07 ffffffffff 61")},                     // string of 4 GiB
      {Shape::Message, cat({hex("0a ff ffffff0f"), Bytes(66, 0)})},  // 2^30 int64s
      {Shape::Message, hex("0f")},                                   // reserved tag
      {Shape::Message, hex("0c 01 80")},                             // extension tag
      {Shape::Call, hex("070161 80")},
      {Shape::Message, hex("03 01000000 00")},  // a byte left over
      {Shape::Call, hex("070161 00 00")},
      {Shape::Success, hex("00 00 00")},
      {Shape::Call, hex("00 00")},                                   // null name
      {Shape::Error, hex("02 00")},                                  // unknown envelope flag
      {Shape::Error, hex("01 00 00 00")},                            // null code
      {Shape::Error, hex("01 070145 07016d 00 07057472616365")},     // stack trace after details
      {Shape::Message, Bytes(tooDeep.end() - 2003, tooDeep.end())},  // 1001 levels
      {Shape::Message, tooDeep},  // far deeper than an unchecked stack would survive
  };
  for (const auto& [shape, bytes] : bad) {
    EXPECT_THROW(decodeAs(shape, bytes), CodecError) << ::testing::PrintToString(bytes);
  }
}

// What a message decodes into is bounded, not only its length: a byte of input can become a
// 40-byte value, so a frame of nulls took 120 times its size before this budget.
TEST(StandardCodec, DecodedSizeIsBudgeted) {
  const auto listOf = [](size_t count, Bytes element) {
    Bytes out = {0x0c, 0xff};
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(count >> (8 * i)));
    for (size_t i = 0; i < count; ++i) out.insert(out.end(), element.begin(), element.end());
    return out;
  };
  // The list itself is one value: this many nulls fill the budget exactly.
  EXPECT_NO_THROW(decodeMessage(listOf(kMaxDecodedValues - 1, {0x00})));
  EXPECT_THROW(decodeMessage(listOf(kMaxDecodedValues, {0x00})), CodecError);
  EXPECT_THROW(decodeMessage(listOf(size_t{16} << 20, {0x00})), CodecError);
  // Values nested in maps and lists count as well, keys included.
  EXPECT_THROW(decodeMessage(listOf(kMaxDecodedValues / 3 + 1, hex("0d 01 00 00"))), CodecError);
  // Bytes: a list of strings under the value count but over the byte budget.
  Bytes string200 = {0x07, 200};
  string200.resize(202, 'a');
  EXPECT_NO_THROW(decodeMessage(listOf(100'000, string200)));           // 24 MB as decoded
  EXPECT_THROW(decodeMessage(listOf(300'000, string200)), CodecError);  // 72 MB
  // A method call spends the same budget: the name, the list and its nulls.
  const auto callOf = [&listOf](size_t nulls) {
    Bytes call = hex("07 08 6d65746164617461");
    const Bytes list = listOf(nulls, {0x00});
    call.insert(call.end(), list.begin(), list.end());
    return call;
  };
  EXPECT_NO_THROW(decodeMethodCall(callOf(kMaxDecodedValues - 2)));
  EXPECT_THROW(decodeMethodCall(callOf(kMaxDecodedValues - 1)), CodecError);
}

}  // namespace
}  // namespace velmo::host
