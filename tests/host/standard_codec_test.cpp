// Wire-format tests for the standard message and method codec: exact bytes for every type
// (the values the host framework's own clients produce), then malformed input.
#include "host/standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace velmo::host {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes repeat(uint8_t byte, size_t count) {
  return Bytes(count, byte);
}

// Encodes |value| to exactly |expected| and decodes |expected| back to |value|.
void CheckEncodeDecode(const EncodableValue& value, const Bytes& expected) {
  EXPECT_EQ(encodeMessage(value), expected);
  EXPECT_EQ(decodeMessage(expected), value);
}

void ExpectRejected(const Bytes& bytes) {
  EXPECT_THROW(decodeMessage(bytes), CodecError) << ::testing::PrintToString(bytes);
}

// --- Scalars ---------------------------------------------------------------------------

TEST(StandardCodec, NullAndBooleans) {
  CheckEncodeDecode(EncodableValue(), {0x00});
  CheckEncodeDecode(true, {0x01});
  CheckEncodeDecode(false, {0x02});
}

TEST(StandardCodec, Int32Boundaries) {
  CheckEncodeDecode(int32_t{0}, {0x03, 0x00, 0x00, 0x00, 0x00});
  CheckEncodeDecode(int32_t{-1}, {0x03, 0xff, 0xff, 0xff, 0xff});
  CheckEncodeDecode(int32_t{42}, {0x03, 0x2a, 0x00, 0x00, 0x00});
  CheckEncodeDecode(std::numeric_limits<int32_t>::max(), {0x03, 0xff, 0xff, 0xff, 0x7f});
  CheckEncodeDecode(std::numeric_limits<int32_t>::min(), {0x03, 0x00, 0x00, 0x00, 0x80});
}

TEST(StandardCodec, Int64) {
  // The first integer above int32 range, as a Dart client sends it.
  CheckEncodeDecode(int64_t{2147483648}, {0x04, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00});
  // An ARGB colour with full alpha.
  CheckEncodeDecode(int64_t{0xFF112233}, {0x04, 0x33, 0x22, 0x11, 0xff, 0x00, 0x00, 0x00, 0x00});
  CheckEncodeDecode(std::numeric_limits<int64_t>::min(),
                    {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80});
  CheckEncodeDecode(int64_t{-2}, {0x04, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
  // The codec is exact: a small value held as int64 stays int64 on the wire.
  CheckEncodeDecode(int64_t{1}, {0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
}

TEST(StandardCodec, Float64AlignedToMessageStart) {
  CheckEncodeDecode(1.0, concat({{0x06}, repeat(0, 7), {0, 0, 0, 0, 0, 0, 0xf0, 0x3f}}));
  CheckEncodeDecode(-0.0, concat({{0x06}, repeat(0, 7), {0, 0, 0, 0, 0, 0, 0, 0x80}}));
  CheckEncodeDecode(std::numeric_limits<double>::infinity(),
                    concat({{0x06}, repeat(0, 7), {0, 0, 0, 0, 0, 0, 0xf0, 0x7f}}));
}

TEST(StandardCodec, Float64NaNKeepsItsBits) {
  const Bytes bytes = concat({{0x06}, repeat(0, 7), {1, 0, 0, 0, 0, 0, 0xf8, 0x7f}});
  const EncodableValue decoded = decodeMessage(bytes);
  ASSERT_TRUE(std::holds_alternative<double>(decoded));
  EXPECT_TRUE(std::isnan(std::get<double>(decoded)));
  EXPECT_EQ(encodeMessage(decoded), bytes);
}

TEST(StandardCodec, Float64InsideAList) {
  // The tag of 3.14 sits at offset 10, so five zero bytes bring its data to offset 16.
  CheckEncodeDecode(
      EncodableList{EncodableValue(), "hello", 3.14, int32_t{47},
                    EncodableList{int32_t{42}, "nested"}},
      {0x0c, 0x05, 0x00, 0x07, 0x05, 0x68, 0x65, 0x6c, 0x6c, 0x6f, 0x06, 0x00, 0x00, 0x00, 0x00,
       0x00, 0x1f, 0x85, 0xeb, 0x51, 0xb8, 0x1e, 0x09, 0x40, 0x03, 0x2f, 0x00, 0x00, 0x00, 0x0c,
       0x02, 0x03, 0x2a, 0x00, 0x00, 0x00, 0x07, 0x06, 0x6e, 0x65, 0x73, 0x74, 0x65, 0x64});
}

TEST(StandardCodec, Strings) {
  CheckEncodeDecode("", {0x07, 0x00});
  CheckEncodeDecode("hello", {0x07, 0x05, 0x68, 0x65, 0x6c, 0x6c, 0x6f});
  CheckEncodeDecode("h\u263Aw", {0x07, 0x05, 0x68, 0xe2, 0x98, 0xba, 0x77});
  // Outside the Basic Multilingual Plane: one four-byte UTF-8 sequence, counted in bytes.
  CheckEncodeDecode("h\U0001F602w", {0x07, 0x06, 0x68, 0xf0, 0x9f, 0x98, 0x82, 0x77});
  // Embedded NUL is part of the string.
  CheckEncodeDecode(std::string("a\0b", 3), {0x07, 0x03, 0x61, 0x00, 0x62});
}

TEST(StandardCodec, LargeIntReadsAsString) {
  EXPECT_EQ(decodeMessage(Bytes{0x05, 0x03, 0x31, 0x66, 0x30}), EncodableValue("1f0"));
}

// --- Sizes -----------------------------------------------------------------------------

TEST(StandardCodec, SizeBoundaries) {
  CheckEncodeDecode(std::vector<uint8_t>(253, 7), concat({{0x08, 0xfd}, repeat(7, 253)}));
  CheckEncodeDecode(std::vector<uint8_t>(254, 7),
                    concat({{0x08, 0xfe, 0xfe, 0x00}, repeat(7, 254)}));
  CheckEncodeDecode(std::vector<uint8_t>(65535, 7),
                    concat({{0x08, 0xfe, 0xff, 0xff}, repeat(7, 65535)}));
  CheckEncodeDecode(std::vector<uint8_t>(65536, 7),
                    concat({{0x08, 0xff, 0x00, 0x00, 0x01, 0x00}, repeat(7, 65536)}));
}

TEST(StandardCodec, LongerSizeFormsAreAccepted) {
  EXPECT_EQ(decodeMessage(Bytes{0x07, 0xfe, 0x01, 0x00, 0x61}), EncodableValue("a"));
  EXPECT_EQ(decodeMessage(Bytes{0x07, 0xff, 0x01, 0x00, 0x00, 0x00, 0x61}), EncodableValue("a"));
}

// --- Typed lists -----------------------------------------------------------------------

TEST(StandardCodec, TypedLists) {
  CheckEncodeDecode(std::vector<uint8_t>{1, 2, 255}, {0x08, 0x03, 0x01, 0x02, 0xff});
  CheckEncodeDecode(std::vector<int32_t>{1, -1},
                    {0x09, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff});
  CheckEncodeDecode(
      std::vector<int64_t>{-2},
      concat({{0x0a, 0x01}, repeat(0, 6), {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}));
  CheckEncodeDecode(std::vector<float>{1.0f, -2.5f},
                    {0x0e, 0x02, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x20, 0xc0});
  CheckEncodeDecode(std::vector<double>{1.0},
                    concat({{0x0b, 0x01}, repeat(0, 6), {0, 0, 0, 0, 0, 0, 0xf0, 0x3f}}));
}

TEST(StandardCodec, EmptyTypedListsStillWritePadding) {
  CheckEncodeDecode(std::vector<uint8_t>{}, {0x08, 0x00});
  CheckEncodeDecode(std::vector<int32_t>{}, {0x09, 0x00, 0x00, 0x00});
  CheckEncodeDecode(std::vector<float>{}, {0x0e, 0x00, 0x00, 0x00});
  CheckEncodeDecode(std::vector<int64_t>{}, concat({{0x0a, 0x00}, repeat(0, 6)}));
  CheckEncodeDecode(std::vector<double>{}, concat({{0x0b, 0x00}, repeat(0, 6)}));
  // At an unaligned offset with a value after it: skipping the padding here would make the
  // 5 read as garbage.
  CheckEncodeDecode(EncodableList{EncodableValue(), std::vector<int32_t>{}, int32_t{5}},
                    {0x0c, 0x03, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x03, 0x05, 0x00, 0x00, 0x00});
}

// --- Lists and maps --------------------------------------------------------------------

TEST(StandardCodec, Lists) {
  CheckEncodeDecode(EncodableList{}, {0x0c, 0x00});
  CheckEncodeDecode(EncodableList{EncodableList{}, true}, {0x0c, 0x02, 0x0c, 0x00, 0x01});
}

TEST(StandardCodec, MapsKeepTheirOrderAndAnyKeyType) {
  CheckEncodeDecode(EncodableMap{}, {0x0d, 0x00});
  // "z" before "a", and a non-string key: written as given, read back as sent.
  CheckEncodeDecode(EncodableMap{{"z", int32_t{1}}, {"a", EncodableValue()}, {int32_t{2}, "b"}},
                    {0x0d, 0x03, 0x07, 0x01, 0x7a, 0x03, 0x01, 0x00, 0x00, 0x00, 0x07,
                     0x01, 0x61, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x07, 0x01, 0x62});
  CheckEncodeDecode(EncodableMap{{EncodableValue(), EncodableList{}}, {true, false}},
                    {0x0d, 0x02, 0x00, 0x0c, 0x00, 0x01, 0x02});
}

TEST(StandardCodec, DuplicateMapKeyReplacesTheValueInPlace) {
  const Bytes bytes = {0x0d, 0x03,                                       //
                       0x07, 0x01, 0x61, 0x03, 0x01, 0x00, 0x00, 0x00,   // "a": 1
                       0x07, 0x01, 0x62, 0x03, 0x02, 0x00, 0x00, 0x00,   // "b": 2
                       0x05, 0x01, 0x61, 0x03, 0x03, 0x00, 0x00, 0x00};  // large int "a": 3
  EXPECT_EQ(decodeMessage(bytes),
            EncodableValue(EncodableMap{{"a", int32_t{3}}, {"b", int32_t{2}}}));
}

TEST(StandardCodec, DuplicateKeysFollowValueEquality) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EncodableMap sent = {{int32_t{1}, "int32"},   {int64_t{1}, "int64"},  {0.0, "zero"},
                       {-0.0, "negative zero"}, {nan, "nan 1"},         {nan, "nan 2"},
                       {EncodableList{"k"}, 1}, {EncodableList{"k"}, 2}};
  const EncodableValue decoded = decodeMessage(encodeMessage(sent));
  const auto& map = std::get<EncodableMap>(decoded);
  // int32 1 and int64 1 are different values; 0.0 == -0.0; NaN equals nothing, not even NaN.
  ASSERT_EQ(map.size(), 6u);
  EXPECT_EQ(map[0].second, EncodableValue("int32"));
  EXPECT_EQ(map[1].second, EncodableValue("int64"));
  EXPECT_EQ(map[2].second, EncodableValue("negative zero"));
  EXPECT_FALSE(std::signbit(std::get<double>(map[2].first)));
  EXPECT_EQ(map[3].second, EncodableValue("nan 1"));
  EXPECT_EQ(map[4].second, EncodableValue("nan 2"));
  EXPECT_EQ(map[5], (std::pair<EncodableValue, EncodableValue>(EncodableList{"k"}, 2)));
}

TEST(StandardCodec, ManyKeysWithDuplicates) {
  EncodableMap sent;
  for (int32_t i = 0; i < 20000; ++i) sent.emplace_back(i % 15000, i);
  const auto decoded = std::get<EncodableMap>(decodeMessage(encodeMessage(sent)));
  ASSERT_EQ(decoded.size(), 15000u);
  for (int32_t i = 0; i < 15000; ++i) {
    EXPECT_EQ(decoded[i].first, EncodableValue(i));
    EXPECT_EQ(decoded[i].second, EncodableValue(i < 5000 ? i + 15000 : i));
  }
}

TEST(StandardCodec, EmptyMessageIsNull) {
  EXPECT_EQ(decodeMessage(Bytes{}), EncodableValue());
}

// --- Method calls and envelopes --------------------------------------------------------

TEST(StandardMethodCodec, MethodCalls) {
  const Bytes hello = {0x07, 0x05, 0x68, 0x65, 0x6c, 0x6c, 0x6f, 0x00};
  EXPECT_EQ(encodeMethodCall({"hello", EncodableValue()}), hello);
  MethodCall call = decodeMethodCall(hello);
  EXPECT_EQ(call.method, "hello");
  EXPECT_TRUE(call.arguments.isNull());

  const Bytes counted = {0x07, 0x05, 0x68, 0x65, 0x6c, 0x6c, 0x6f, 0x0c, 0x02, 0x07, 0x05,
                         0x63, 0x6f, 0x75, 0x6e, 0x74, 0x03, 0x2a, 0x00, 0x00, 0x00};
  EXPECT_EQ(encodeMethodCall({"hello", EncodableList{"count", int32_t{42}}}), counted);
  call = decodeMethodCall(counted);
  EXPECT_EQ(call.method, "hello");
  EXPECT_EQ(call.arguments, EncodableValue(EncodableList{"count", int32_t{42}}));
}

TEST(StandardMethodCodec, MethodNameShiftsAlignment) {
  const Bytes bytes = {0x07, 0x06, 0x72, 0x65, 0x6e, 0x64, 0x65, 0x72, 0x0d, 0x01, 0x07, 0x01,
                       0x77, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0x3f};
  const MethodCall render{"render", EncodableMap{{"w", 1.5}}};
  EXPECT_EQ(encodeMethodCall(render), bytes);
  const MethodCall decoded = decodeMethodCall(bytes);
  EXPECT_EQ(decoded.method, "render");
  EXPECT_EQ(decoded.arguments, render.arguments);
}

TEST(StandardMethodCodec, SuccessEnvelopes) {
  EXPECT_EQ(encodeSuccessEnvelope(EncodableValue()), (Bytes{0x00, 0x00}));
  // The flag byte moves the float tag to offset 1, so six padding bytes follow it.
  const Bytes pi = {0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                    0x1f, 0x85, 0xeb, 0x51, 0xb8, 0x1e, 0x09, 0x40};
  EXPECT_EQ(encodeSuccessEnvelope(3.14), pi);
  EXPECT_EQ(std::get<EncodableValue>(decodeEnvelope(pi)), EncodableValue(3.14));
}

TEST(StandardMethodCodec, ErrorEnvelopes) {
  const ErrorEnvelope bare{"E", std::nullopt, EncodableValue()};
  const Bytes bareBytes = {0x01, 0x07, 0x01, 0x45, 0x00, 0x00};
  EXPECT_EQ(encodeErrorEnvelope(bare), bareBytes);
  EXPECT_EQ(std::get<ErrorEnvelope>(decodeEnvelope(bareBytes)), bare);

  const ErrorEnvelope full{"", "\u5716", EncodableMap{{"n", 1.0}}};
  const Bytes fullBytes = {0x01, 0x07, 0x00, 0x07, 0x03, 0xe5, 0x9c, 0x96, 0x0d, 0x01, 0x07, 0x01,
                           0x6e, 0x06, 0x00, 0x00, 0,    0,    0,    0,    0,    0,    0xf0, 0x3f};
  EXPECT_EQ(encodeErrorEnvelope(full), fullBytes);
  EXPECT_EQ(std::get<ErrorEnvelope>(decodeEnvelope(fullBytes)), full);

  // An empty message stays a string; it does not turn into null.
  const ErrorEnvelope empty{"E", "", EncodableValue()};
  EXPECT_EQ(encodeErrorEnvelope(empty), (Bytes{0x01, 0x07, 0x01, 0x45, 0x07, 0x00, 0x00}));
  EXPECT_EQ(std::get<ErrorEnvelope>(decodeEnvelope(encodeErrorEnvelope(empty))), empty);
}

// --- Malformed input -------------------------------------------------------------------

// Valid encodings whose every proper prefix must be refused.
std::vector<Bytes> sampleMessages() {
  return {
      encodeMessage(EncodableList{EncodableValue(), "hello", 3.14, int32_t{47},
                                  EncodableList{int32_t{42}, "nested"}}),
      encodeMessage(EncodableMap{{"a", std::vector<int64_t>{1, 2}}, {int32_t{1}, true}}),
      encodeMessage(std::vector<float>{1.0f}),
      encodeMessage(std::vector<double>{}),
      encodeMessage(std::vector<uint8_t>(300, 1)),
      encodeMessage(int64_t{5}),
  };
}

TEST(StandardCodecMalformed, EveryTruncatedMessageIsRefused) {
  for (const Bytes& full : sampleMessages()) {
    ASSERT_NO_THROW(decodeMessage(full));
    // The empty prefix is the null message, accepted on purpose.
    for (size_t n = 1; n < full.size(); ++n) {
      ExpectRejected(Bytes(full.begin(), full.begin() + n));
    }
  }
}

TEST(StandardCodecMalformed, EveryTruncatedCallAndEnvelopeIsRefused) {
  const Bytes call = encodeMethodCall({"render", EncodableMap{{"w", 1.5}, {"l", EncodableList{}}}});
  const Bytes success = encodeSuccessEnvelope(EncodableMap{{"path", "/tmp/x.png"}});
  const Bytes error = encodeErrorEnvelope({"PHOTO_PROCESSING", "msg", std::vector<double>{2.0}});
  for (size_t n = 0; n < call.size(); ++n) {
    EXPECT_THROW(decodeMethodCall(ByteView(call.data(), n)), CodecError) << n;
  }
  for (const Bytes* envelope : {&success, &error}) {
    for (size_t n = 0; n < envelope->size(); ++n) {
      EXPECT_THROW(decodeEnvelope(ByteView(envelope->data(), n)), CodecError) << n;
    }
  }
}

TEST(StandardCodecMalformed, CountsBeyondTheBytesLeft) {
  ExpectRejected({0x0c, 0xff, 0xff, 0xff, 0xff, 0xff});        // list of 4 billion
  ExpectRejected({0x0d, 0xff, 0xff, 0xff, 0xff, 0xff});        // map of 4 billion
  ExpectRejected({0x0d, 0x02, 0x00, 0x00, 0x00});              // map of 2 needs 4 bytes
  ExpectRejected({0x07, 0xff, 0xff, 0xff, 0xff, 0xff, 0x61});  // string of 4 GiB
  ExpectRejected({0x08, 0xfe, 0xff, 0xff, 0x00});              // 65535 bytes promised, 1 given
  ExpectRejected(concat({{0x0a, 0xff, 0xff, 0xff, 0xff, 0x0f}, repeat(0, 2), repeat(0, 64)}));
  ExpectRejected({0x09, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02});  // half an element
  ExpectRejected({0x06, 0x00, 0x00});                                      // padding past the end
}

TEST(StandardCodecMalformed, ReservedAndExtensionTags) {
  ExpectRejected({0x0f});
  ExpectRejected({0x80});
  ExpectRejected({0xff});
  ExpectRejected({0x0c, 0x01, 0x10});
  EXPECT_THROW(decodeMethodCall(Bytes{0x07, 0x01, 0x61, 0x80}), CodecError);
}

TEST(StandardCodecMalformed, LeftoverBytes) {
  ExpectRejected({0x00, 0x00});
  ExpectRejected({0x03, 0x01, 0x00, 0x00, 0x00, 0x00});
  EXPECT_THROW(decodeMethodCall(Bytes{0x07, 0x01, 0x61, 0x00, 0x00}), CodecError);
  EXPECT_THROW(decodeEnvelope(Bytes{0x00, 0x00, 0x00}), CodecError);
}

TEST(StandardCodecMalformed, MethodCallShape) {
  EXPECT_THROW(decodeMethodCall(Bytes{0x03, 0x01, 0x00, 0x00, 0x00, 0x00}),
               CodecError);                                             // int name
  EXPECT_THROW(decodeMethodCall(Bytes{0x00, 0x00}), CodecError);        // null name
  EXPECT_THROW(decodeMethodCall(Bytes{0x07, 0x01, 0x61}), CodecError);  // no argument value
  EXPECT_THROW(decodeMethodCall(Bytes{}), CodecError);
  // A large-int name is text like any other string.
  EXPECT_EQ(decodeMethodCall(Bytes{0x05, 0x01, 0x61, 0x00}).method, "a");
}

TEST(StandardCodecMalformed, EnvelopeShape) {
  EXPECT_THROW(decodeEnvelope(Bytes{}), CodecError);  // not implemented is not an envelope
  EXPECT_THROW(decodeEnvelope(Bytes{0x02, 0x00}), CodecError);
  EXPECT_THROW(decodeEnvelope(Bytes{0xff, 0x00}), CodecError);
  EXPECT_THROW(decodeEnvelope(Bytes{0x01, 0x00, 0x00, 0x00}), CodecError);        // null code
  EXPECT_THROW(decodeEnvelope(Bytes{0x01, 0x07, 0x00, 0x01, 0x00}), CodecError);  // bool message
  EXPECT_THROW(decodeEnvelope(Bytes{0x01, 0x07, 0x00, 0x00}), CodecError);        // no details
}

TEST(StandardCodecMalformed, StackTraceAfterDetailsIsRefused) {
  Bytes bytes = encodeErrorEnvelope({"E", "m", EncodableValue()});
  ASSERT_NO_THROW(decodeEnvelope(bytes));
  const Bytes trace = {0x07, 0x05, 0x74, 0x72, 0x61, 0x63, 0x65};
  bytes.insert(bytes.end(), trace.begin(), trace.end());
  EXPECT_THROW(decodeEnvelope(bytes), CodecError);
  EXPECT_THROW(decodeEnvelope(concat({encodeErrorEnvelope({"E", "m", 1}), {0x00}})), CodecError);
}

Bytes nestedLists(size_t depth) {
  Bytes bytes;
  for (size_t i = 0; i < depth; ++i) {
    bytes.push_back(0x0c);
    bytes.push_back(0x01);
  }
  bytes.push_back(0x00);
  return bytes;
}

TEST(StandardCodecMalformed, NestingDepthIsBounded) {
  EXPECT_NO_THROW(decodeMessage(nestedLists(1000)));
  ExpectRejected(nestedLists(1001));
  // Far deeper than any stack would survive unchecked; maps count as levels too.
  ExpectRejected(nestedLists(1'000'000));
  Bytes maps;
  for (int i = 0; i < 5000; ++i) {
    maps.insert(maps.end(), {0x0d, 0x01, 0x00});
  }
  maps.push_back(0x00);
  ExpectRejected(maps);
}

}  // namespace
}  // namespace velmo::host
