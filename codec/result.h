// What a codec call gives back: its value, or a Failure saying what kind of failure it was and,
// in |detail|, the decoding library's own words for it (or ours, where the library gave none).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velmo::codec {

enum class FailureKind {
  // The data cannot be decoded or encoded (corrupt, truncated, a size the format cannot hold).
  Unreadable,
  // The frame is over the decode limits of checked.h.
  OverLimits,
  // No memory for the pixels.
  OutOfMemory,
  // The shrinker, or the colour conversion feeding it, could not be set up.
  ScalerSetup,
  // Lack of memory while shrinking.
  Scaling,
};

struct Failure {
  FailureKind kind = FailureKind::Unreadable;
  // The library's message ("Premature end of JPEG file", "CRC error"), or short English words
  // of ours; empty when there is nothing to add to the kind.
  std::string detail;
};

// Shorthands for the common kinds.
inline Failure unreadable(std::string detail) {
  return {FailureKind::Unreadable, std::move(detail)};
}
inline Failure outOfMemory() {
  return {FailureKind::OutOfMemory, "out of memory"};
}
inline Failure cutShort() {
  return unreadable("the file is cut short");
}
inline Failure overLimits(uint64_t width, uint64_t height) {
  std::string detail = "frame of ";
  detail.append(std::to_string(width)).append(" x ").append(std::to_string(height));
  return {FailureKind::OverLimits, detail.append(" is over the decode limits")};
}

// A value of T, or the Failure that stopped it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  explicit operator bool() const { return state_.index() == 0; }

  T& operator*() & { return std::get<0>(state_); }
  const T& operator*() const& { return std::get<0>(state_); }
  T&& operator*() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }

  // Only when there is no value.
  const Failure& failure() const { return std::get<1>(state_); }

 private:
  using State = std::variant<T, Failure>;
  State state_;
};

// Success with no value, or a Failure.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}

  explicit operator bool() const { return !failure_; }
  // Only when it failed.
  const Failure& failure() const { return *failure_; }

 private:
  std::optional<Failure> failure_;
};

using Status = Result<void>;

}  // namespace velmo::codec
