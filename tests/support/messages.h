// The texts a caller sees, written out here character for character and independently of the
// plug-in's own catalogue, so that a typo there fails a test. Every test compares against
// these.
#pragma once

namespace velmo::testing::messages {

inline constexpr const char* kArgumentsCode = "PHOTO_ARGUMENTS";
inline constexpr const char* kProcessingCode = "PHOTO_PROCESSING";

inline constexpr const char* kInvalidArguments = "圖片參數無效";
inline constexpr const char* kUnreadableImage = "無法讀取圖片，請重新選擇";
inline constexpr const char* kInvalidImageSize = "圖片尺寸無效";
inline constexpr const char* kNoDestination = "找不到輸出位置";
inline constexpr const char* kOutputOutOfRange = "圖片超出處理範圍";
inline constexpr const char* kInvalidCrop = "裁剪範圍無效";
inline constexpr const char* kNotStillImage = "請選擇靜態圖片";
inline constexpr const char* kCannotDecode = "無法解碼圖片";
inline constexpr const char* kInvalidWatermarkSize = "浮水印尺寸無效";
inline constexpr const char* kBlurFailed = "無法套用模糊，請重試";
inline constexpr const char* kOutputTooLarge = "圖片超過 8 MiB，請調整圖片後重試";
inline constexpr const char* kNoTileDestination = "找不到預覽位置";
inline constexpr const char* kCannotReadLongImage = "無法讀取長圖";
inline constexpr const char* kInvalidTileWindow = "長圖預覽範圍無效";
inline constexpr const char* kCannotCreateTile = "無法建立長圖預覽";
inline constexpr const char* kCannotScaleTile = "無法縮放長圖預覽";
inline constexpr const char* kTileTooLarge = "長圖預覽超出處理範圍";

}  // namespace velmo::testing::messages
