// The plug-in's one error model.
//
// Every failure inside a channel method is a PluginError carrying a fixed user-facing message
// from the catalogue below, thrown where it happens and caught only by the dispatcher, which
// sends its message as "PHOTO_PROCESSING". Beside the message it carries a short English
// reason for developers (which check failed, on what), which never goes over the channel: the
// dispatcher hands it to the host's diagnostics. File-system failures travel as
// std::system_error (what() names the operation, the path and the system's reason) and reach
// the caller with that text. Nothing else converts, retries or logs errors.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace velmo::method {

class PluginError : public std::runtime_error {
 public:
  static constexpr std::string_view kDomain = "VelmoImageTools";
  static constexpr int kCode = 1;

  PluginError(const std::string& message, std::string reason)
      : std::runtime_error(message), reason_(std::move(reason)) {}

  std::string_view domain() const { return kDomain; }
  int code() const { return kCode; }
  // The user-facing text; the only part of the error that reaches the caller.
  std::string message() const { return what(); }
  // For developers, in English; never sent over the channel.
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// Makes (does not throw) the plug-in error for |message| with the English |reason|; callers
// throw it at once:
//   throw fail(messages::kUnreadableImage, "\"path\" is absent");
[[nodiscard]] PluginError fail(std::string_view message, std::string reason);

// Runs |work| and returns what it returns; a failure to get memory inside it becomes the
// plug-in error |message|, its reason saying that |what| ran out of memory. For the steps
// after a decode whose one way to fail is the lack of memory (a turned copy, a canvas, an
// encoding), so that the caller sees the catalogue's message rather than the allocator's.
template <typename Work>
decltype(auto) failWhenOutOfMemory(std::string_view message, std::string_view what, Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (const std::bad_alloc&) {
    throw fail(message, "not enough memory for " + std::string(what));
  }
}

// Channel error codes.
inline constexpr std::string_view kArgumentsErrorCode = "PHOTO_ARGUMENTS";
inline constexpr std::string_view kProcessingErrorCode = "PHOTO_PROCESSING";

// The message catalogue, character for character.
namespace messages {
// Argument value not a string-keyed map (sent directly as "PHOTO_ARGUMENTS").
inline constexpr std::string_view kInvalidArguments = "圖片參數無效";
// source: no "path" string, or no image can be opened at that path.
inline constexpr std::string_view kUnreadableImage = "無法讀取圖片，請重新選擇";
// properties: image 0 has no usable pixel size.
inline constexpr std::string_view kInvalidImageSize = "圖片尺寸無效";
// render
inline constexpr std::string_view kNoDestination = "找不到輸出位置";
inline constexpr std::string_view kOutputOutOfRange = "圖片超出處理範圍";
inline constexpr std::string_view kInvalidCrop = "裁剪範圍無效";
inline constexpr std::string_view kNotStillImage = "請選擇靜態圖片";
inline constexpr std::string_view kCannotDecode = "無法解碼圖片";
inline constexpr std::string_view kInvalidWatermarkSize = "浮水印尺寸無效";
inline constexpr std::string_view kBlurFailed = "無法套用模糊，請重試";
inline constexpr std::string_view kOutputTooLarge = "圖片超過 8 MiB，請調整圖片後重試";
// tile
inline constexpr std::string_view kNoTileDestination = "找不到預覽位置";
inline constexpr std::string_view kCannotReadLongImage = "無法讀取長圖";
inline constexpr std::string_view kInvalidTileWindow = "長圖預覽範圍無效";
inline constexpr std::string_view kCannotCreateTile = "無法建立長圖預覽";
inline constexpr std::string_view kCannotScaleTile = "無法縮放長圖預覽";
inline constexpr std::string_view kCannotSaveTile = "無法儲存長圖預覽";
inline constexpr std::string_view kTileTooLarge = "長圖預覽超出處理範圍";
}  // namespace messages

}  // namespace velmo::method
