#include "host/standard_codec.h"

#include <bit>
#include <cmath>
#include <map>
#include <type_traits>

namespace velmo::host {
namespace {

// Type tags of the standard message codec. Tags 15 and up are reserved or belong to codec
// extensions; this codec has none and refuses them.
enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,
  kFloat64 = 6,
  kString = 7,
  kUint8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

// Sizes below this fit in the size byte itself; 254 and 255 announce a uint16 and a uint32.
constexpr uint8_t kSizeUint16 = 254;
constexpr uint8_t kSizeUint32 = 255;

// Lists and maps nested deeper than this are refused, so that a hostile message cannot run
// the recursive reader (or the recursive destructor of the decoded value) off the stack.
constexpr int kMaxDepth = 1000;

constexpr uint8_t kSuccessFlag = 0;
constexpr uint8_t kErrorFlag = 1;

// ---------------------------------------------------------------------------------------
// Writing

class Writer {
 public:
  explicit Writer(Bytes& out) : out_(out) {}

  void byte(uint8_t b) { out_.push_back(b); }

  template <typename Unsigned>
  void littleEndian(Unsigned value) {
    for (size_t i = 0; i < sizeof(Unsigned); ++i) {
      out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
  }

  void size(size_t n) {
    if (n < kSizeUint16) {
      byte(static_cast<uint8_t>(n));
    } else if (n <= 0xFFFF) {
      byte(kSizeUint16);
      littleEndian(static_cast<uint16_t>(n));
    } else if (n <= 0xFFFFFFFF) {
      byte(kSizeUint32);
      littleEndian(static_cast<uint32_t>(n));
    } else {
      throw CodecError("a size above 2^32 - 1 cannot be encoded");
    }
  }

  // Padding counts from the start of the whole message, not of the value.
  void align(size_t alignment) {
    while (out_.size() % alignment != 0) out_.push_back(0);
  }

  template <typename Element>
  void element(Element value) {
    if constexpr (std::is_same_v<Element, uint8_t>) {
      byte(value);
    } else if constexpr (std::is_same_v<Element, int32_t>) {
      littleEndian(static_cast<uint32_t>(value));
    } else if constexpr (std::is_same_v<Element, int64_t>) {
      littleEndian(static_cast<uint64_t>(value));
    } else if constexpr (std::is_same_v<Element, float>) {
      littleEndian(std::bit_cast<uint32_t>(value));
    } else {
      static_assert(std::is_same_v<Element, double>);
      littleEndian(std::bit_cast<uint64_t>(value));
    }
  }

  template <typename Element>
  void typedList(uint8_t tag, const std::vector<Element>& values) {
    byte(tag);
    size(values.size());
    // Written even for an empty list: every reader skips it whatever the count.
    if (sizeof(Element) > 1) align(sizeof(Element));
    for (Element v : values) element(v);
  }

  void value(const EncodableValue& v) {
    std::visit([this](const auto& alternative) { write(alternative); },
               static_cast<const EncodableVariant&>(v));
  }

 private:
  void write(std::monostate) { byte(kNull); }
  void write(bool b) { byte(b ? kTrue : kFalse); }
  void write(int32_t n) {
    byte(kInt32);
    element(n);
  }
  void write(int64_t n) {
    byte(kInt64);
    element(n);
  }
  void write(double d) {
    byte(kFloat64);
    align(8);
    element(d);
  }
  void write(const std::string& s) {
    byte(kString);
    size(s.size());
    out_.insert(out_.end(), s.begin(), s.end());
  }
  void write(const std::vector<uint8_t>& v) { typedList(kUint8List, v); }
  void write(const std::vector<int32_t>& v) { typedList(kInt32List, v); }
  void write(const std::vector<int64_t>& v) { typedList(kInt64List, v); }
  void write(const std::vector<float>& v) { typedList(kFloat32List, v); }
  void write(const std::vector<double>& v) { typedList(kFloat64List, v); }
  void write(const EncodableList& list) {
    byte(kList);
    size(list.size());
    for (const auto& element : list) value(element);
  }
  void write(const EncodableMap& map) {
    byte(kMap);
    size(map.size());
    for (const auto& [key, entry] : map) {
      value(key);
      value(entry);
    }
  }

  Bytes& out_;
};

// ---------------------------------------------------------------------------------------
// Map keys

// True when |v| holds a NaN anywhere. Such a key equals no other key (NaN != NaN), so it can
// never be a duplicate and stays out of the key index.
bool containsNaN(const EncodableValue& v) {
  if (const auto* d = std::get_if<double>(&v)) return std::isnan(*d);
  if (const auto* f = std::get_if<std::vector<float>>(&v)) {
    for (float x : *f) {
      if (std::isnan(x)) return true;
    }
  }
  if (const auto* ds = std::get_if<std::vector<double>>(&v)) {
    for (double x : *ds) {
      if (std::isnan(x)) return true;
    }
  }
  if (const auto* list = std::get_if<EncodableList>(&v)) {
    for (const auto& e : *list) {
      if (containsNaN(e)) return true;
    }
  }
  if (const auto* map = std::get_if<EncodableMap>(&v)) {
    for (const auto& [k, e] : *map) {
      if (containsNaN(k) || containsNaN(e)) return true;
    }
  }
  return false;
}

// A strict weak order over NaN-free values whose equivalence is exactly operator== (so -0.0
// and 0.0 are one key, as they compare equal). It lets a decoded map find a duplicate key in
// logarithmic time: a message with many distinct keys costs n log n, not n squared.
int compareValues(const EncodableValue& a, const EncodableValue& b);

template <typename T>
int compareScalars(const T& a, const T& b) {
  if (a < b) return -1;
  if (b < a) return 1;
  return 0;
}

template <typename T>
int compareVectors(const std::vector<T>& a, const std::vector<T>& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int c;
    if constexpr (std::is_same_v<T, EncodableValue>) {
      c = compareValues(a[i], b[i]);
    } else if constexpr (std::is_same_v<T, std::pair<EncodableValue, EncodableValue>>) {
      c = compareValues(a[i].first, b[i].first);
      if (c == 0) c = compareValues(a[i].second, b[i].second);
    } else {
      c = compareScalars(a[i], b[i]);
    }
    if (c != 0) return c;
  }
  return compareScalars(a.size(), b.size());
}

int compareValues(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) return compareScalars(a.index(), b.index());
  return std::visit(
      [&b](const auto& x) -> int {
        using T = std::decay_t<decltype(x)>;
        const auto& y = std::get<T>(b);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (requires { x.size(); } && !std::is_same_v<T, std::string>) {
          return compareVectors(x, y);
        } else {
          return compareScalars(x, y);
        }
      },
      static_cast<const EncodableVariant&>(a));
}

// ---------------------------------------------------------------------------------------
// Reading

class Reader {
 public:
  // What a map's index spends on each entry (a node of std::map: links, colour, key).
  static constexpr size_t kIndexNodeBytes = 48;

  explicit Reader(ByteView bytes) : bytes_(bytes) {}

  bool atEnd() const { return pos_ == bytes_.size(); }
  size_t remaining() const { return bytes_.size() - pos_; }

  void expectEnd(const char* what) const {
    if (!atEnd()) {
      throw CodecError(std::to_string(remaining()) + " byte(s) left over after the " + what);
    }
  }

  uint8_t byte() {
    need(1);
    return bytes_[pos_++];
  }

  template <typename Unsigned>
  Unsigned littleEndian() {
    need(sizeof(Unsigned));
    Unsigned value = 0;
    for (size_t i = 0; i < sizeof(Unsigned); ++i) {
      value |= static_cast<Unsigned>(static_cast<Unsigned>(bytes_[pos_ + i]) << (8 * i));
    }
    pos_ += sizeof(Unsigned);
    return value;
  }

  // Any of the three forms is accepted, not only the shortest.
  size_t size() {
    const uint8_t first = byte();
    if (first < kSizeUint16) return first;
    if (first == kSizeUint16) return littleEndian<uint16_t>();
    return littleEndian<uint32_t>();
  }

  void align(size_t alignment) {
    const size_t padding = (alignment - pos_ % alignment) % alignment;
    need(padding);
    pos_ += padding;
  }

  EncodableValue value(int depth = 0) {
    const uint8_t tag = byte();
    spend(1, sizeof(EncodableValue));
    switch (tag) {
      case kNull:
        return EncodableValue();
      case kTrue:
        return true;
      case kFalse:
        return false;
      case kInt32:
        return static_cast<int32_t>(littleEndian<uint32_t>());
      case kInt64:
        return static_cast<int64_t>(littleEndian<uint64_t>());
      case kFloat64:
        align(8);
        return std::bit_cast<double>(littleEndian<uint64_t>());
      case kLargeInt:  // hex digits; every host reader hands them over as a string
      case kString:
        return string();
      case kUint8List:
        return typedList<uint8_t>();
      case kInt32List:
        return typedList<int32_t>();
      case kInt64List:
        return typedList<int64_t>();
      case kFloat32List:
        return typedList<float>();
      case kFloat64List:
        return typedList<double>();
      case kList:
        return list(depth + 1);
      case kMap:
        return map(depth + 1);
      default:
        throw CodecError("unknown type tag " + std::to_string(tag) + " at offset " +
                         std::to_string(pos_ - 1));
    }
  }

 private:
  void need(size_t n) const {
    if (n > remaining()) {
      throw CodecError("message ends early: " + std::to_string(n) + " byte(s) needed at offset " +
                       std::to_string(pos_) + ", " + std::to_string(remaining()) + " left");
    }
  }

  // Refuses a count that the rest of the message cannot hold before anything is allocated.
  void checkCount(size_t count, size_t minBytesEach, const char* what) const {
    if (count > remaining() / minBytesEach) {
      throw CodecError(std::string(what) + " of " + std::to_string(count) + " elements at offset " +
                       std::to_string(pos_) + " exceeds the " + std::to_string(remaining()) +
                       " byte(s) left");
    }
  }

  // Counts what the value being read will hold against the message's budget.
  void spend(size_t values, size_t bytes) {
    values_ += values;
    spentBytes_ += bytes;
    if (values_ > kMaxDecodedValues || spentBytes_ > kMaxDecodedBytes) {
      throw CodecError("the message decodes into more than " + std::to_string(kMaxDecodedValues) +
                       " values or " + std::to_string(kMaxDecodedBytes) + " bytes (at offset " +
                       std::to_string(pos_) + ")");
    }
  }

  std::string string() {
    const size_t length = size();
    need(length);
    spend(0, length);
    std::string s(reinterpret_cast<const char*>(bytes_.data() + pos_), length);
    pos_ += length;
    return s;
  }

  template <typename Element>
  std::vector<Element> typedList() {
    const size_t count = size();
    if (sizeof(Element) > 1) align(sizeof(Element));
    checkCount(count, sizeof(Element), "typed list");
    spend(0, count * sizeof(Element));
    std::vector<Element> values;
    if constexpr (std::is_same_v<Element, uint8_t>) {
      values.assign(bytes_.begin() + pos_, bytes_.begin() + pos_ + count);
      pos_ += count;
      return values;
    }
    values.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      if constexpr (std::is_same_v<Element, int32_t>) {
        values.push_back(static_cast<int32_t>(littleEndian<uint32_t>()));
      } else if constexpr (std::is_same_v<Element, int64_t>) {
        values.push_back(static_cast<int64_t>(littleEndian<uint64_t>()));
      } else if constexpr (std::is_same_v<Element, float>) {
        values.push_back(std::bit_cast<float>(littleEndian<uint32_t>()));
      } else {
        values.push_back(std::bit_cast<double>(littleEndian<uint64_t>()));
      }
    }
    return values;
  }

  void checkDepth(int depth) const {
    if (depth > kMaxDepth) {
      throw CodecError("lists and maps nested more than " + std::to_string(kMaxDepth) +
                       " deep at offset " + std::to_string(pos_));
    }
  }

  // No reserve() for lists and maps: a count that fits the bytes left can still promise far
  // more memory than the message is worth, so the vector grows with what is actually read.
  EncodableList list(int depth) {
    checkDepth(depth);
    const size_t count = size();
    checkCount(count, 1, "list");
    EncodableList elements;
    for (size_t i = 0; i < count; ++i) elements.push_back(value(depth));
    return elements;
  }

  // A key that comes again replaces the earlier entry's value where that entry stands, as a
  // map object on the other side of the channel would keep one entry per key.
  EncodableMap map(int depth) {
    checkDepth(depth);
    const size_t count = size();
    checkCount(count, 2, "map");
    EncodableMap entries;
    auto less = [&entries](size_t a, size_t b) {
      return compareValues(entries[a].first, entries[b].first) < 0;
    };
    std::map<size_t, std::monostate, decltype(less)> index(less);
    for (size_t i = 0; i < count; ++i) {
      spend(0, kIndexNodeBytes);
      EncodableValue key = value(depth);
      EncodableValue entry = value(depth);
      const bool indexable = !containsNaN(key);
      entries.emplace_back(std::move(key), std::move(entry));
      if (!indexable) continue;
      auto [it, inserted] = index.try_emplace(entries.size() - 1);
      if (!inserted) {
        entries[it->first].second = std::move(entries.back().second);
        entries.pop_back();
      }
    }
    return entries;
  }

  ByteView bytes_;
  size_t pos_ = 0;
  size_t values_ = 0;
  size_t spentBytes_ = 0;
};

std::string methodName(EncodableValue value) {
  auto* name = std::get_if<std::string>(&value);
  if (!name) throw CodecError("the method name is not a string");
  return std::move(*name);
}

}  // namespace

size_t decodedBytesBound(size_t length) {
  // At worst every byte is a value of its own (a null), and every two a map entry.
  const size_t perByte = sizeof(EncodableValue) + Reader::kIndexNodeBytes / 2 + 1;
  return length > kMaxDecodedBytes / perByte ? kMaxDecodedBytes : length * perByte;
}

Bytes encodeMessage(const EncodableValue& value) {
  Bytes out;
  Writer(out).value(value);
  return out;
}

EncodableValue decodeMessage(ByteView bytes) {
  // The host's readers take an empty plain message for null (the client sends nothing for a
  // null message).
  if (bytes.empty()) return EncodableValue();
  Reader reader(bytes);
  EncodableValue value = reader.value();
  reader.expectEnd("message");
  return value;
}

Bytes encodeMethodCall(const MethodCall& call) {
  Bytes out;
  Writer writer(out);
  writer.value(EncodableValue(call.method));
  writer.value(call.arguments);
  return out;
}

MethodCall decodeMethodCall(ByteView bytes) {
  Reader reader(bytes);
  MethodCall call;
  call.method = methodName(reader.value());
  call.arguments = reader.value();
  reader.expectEnd("method call");
  return call;
}

Bytes encodeSuccessEnvelope(const EncodableValue& result) {
  Bytes out;
  Writer writer(out);
  writer.byte(kSuccessFlag);
  writer.value(result);
  return out;
}

Bytes encodeErrorEnvelope(const ErrorEnvelope& error) {
  Bytes out;
  Writer writer(out);
  writer.byte(kErrorFlag);
  writer.value(EncodableValue(error.code));
  writer.value(error.message ? EncodableValue(*error.message) : EncodableValue());
  writer.value(error.details);
  return out;
}

std::variant<EncodableValue, ErrorEnvelope> decodeEnvelope(ByteView bytes) {
  if (bytes.empty()) throw CodecError("an empty reply is not an envelope");
  Reader reader(bytes);
  const uint8_t flag = reader.byte();
  if (flag == kSuccessFlag) {
    EncodableValue result = reader.value();
    reader.expectEnd("success envelope");
    return result;
  }
  if (flag != kErrorFlag) {
    throw CodecError("envelope flag " + std::to_string(flag) + " is neither 0 nor 1");
  }
  ErrorEnvelope error;
  EncodableValue code = reader.value();
  auto* codeText = std::get_if<std::string>(&code);
  if (!codeText) throw CodecError("the error code is not a string");
  error.code = std::move(*codeText);
  EncodableValue message = reader.value();
  if (auto* text = std::get_if<std::string>(&message)) {
    error.message = std::move(*text);
  } else if (!message.isNull()) {
    throw CodecError("the error message is neither a string nor null");
  }
  error.details = reader.value();
  // A stack trace after the details is refused, as the strict host readers do.
  reader.expectEnd("error envelope");
  return error;
}

}  // namespace velmo::host
