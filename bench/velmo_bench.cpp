// In-process timings of our operations through their public headers, next to the libraries
// that set the bar for them (libjpeg-turbo's own settings, and libvips when it is built in).
//
//   velmo_bench --data=DIR [--repetitions=N] [benchmark flags]
//
// DIR holds the inputs that bench/run.sh generates (names below); a benchmark whose input is
// missing, or whose operation fails, is reported as skipped with the reason. Outputs are
// written to DIR/out. Benchmark names read GROUP/WHO/CASE; the driver's tables key on them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "bench/bench_channel.h"
#include "bench/bench_support.h"
#include "codec/image_decoder.h"
#include "codec/image_encoder.h"
#include "codec/image_probe.h"
#include "codec/window_decoder.h"
#include "draw/blur.h"
#include "draw/canvas.h"
#include "draw/stroke.h"
#include "method/error.h"
#include "platform/atomic_file.h"
#include "platform/input_file.h"
#include "render/blur_engine.h"
#include "render/output.h"
#include "render/render.h"
#include "source/image_source.h"
#include "tile/tile.h"

#ifdef VELMO_HAVE_VIPS
#include "bench/vips_peer.h"
#endif

namespace velmo::bench {
namespace {

namespace fs = std::filesystem;

// Input file names inside the data directory.
constexpr const char* kPhotoJpeg = "photo_12mp.jpg";  // 4032 x 3024 camera photo
constexpr const char* kPhotoHeic = "photo_iphone.heic";
constexpr const char* kBlankPng = "blank_30000.png";  // 30000 x 30000, 1-bit
constexpr const char* kLongPng = "long_1080x30000.png";
constexpr const char* kLongJpeg = "long_1080x30000.jpg";
constexpr const char* kLongRgbaPng = "long_rgba_1080x30000.png";
constexpr const char* kRgbaTile = "rgba_2048.png";

std::string gData;
int gRepetitions = 5;

std::string input(const char* name) {
  return (fs::path(gData) / name).string();
}
std::string output(const std::string& name) {
  return (fs::path(gData) / "out" / name).string();
}
bool have(const char* name) {
  return fs::exists(input(name));
}

// How long one run of a benchmark takes decides how it is repeated: the driver reads the
// median of the repetitions.
enum class Speed {
  Micro,  // microseconds: many iterations per repetition
  Milli,  // milliseconds
  Slow,   // a large fraction of a second: one iteration per repetition
};

// Runs |body| once per iteration; an exception from our code (or a failing check) skips the
// benchmark with its message instead of stopping the whole run.
void add(const std::string& name, Speed speed, std::function<void(benchmark::State&)> body) {
  auto* b = benchmark::RegisterBenchmark(name.c_str(), [body](benchmark::State& state) {
    try {
      body(state);
    } catch (const method::PluginError& error) {
      state.SkipWithError(("plugin error: " + error.message()).c_str());
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
    }
  });
  b->UseRealTime()->ReportAggregatesOnly(true);
  switch (speed) {
    case Speed::Micro:
      b->Unit(benchmark::kMicrosecond)->MinTime(0.1)->Repetitions(gRepetitions);
      break;
    case Speed::Milli:
      b->Unit(benchmark::kMillisecond)->MinTime(0.2)->Repetitions(gRepetitions);
      break;
    case Speed::Slow:
      b->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(gRepetitions);
      break;
  }
}

// Fails the current iteration's benchmark: thrown, caught by add().
[[noreturn]] void failBench(const std::string& why) {
  throw std::runtime_error(why);
}

// Inputs are loaded once, the first time a benchmark asks, and kept for the run.
template <typename T>
const T& cached(const std::string& key, const std::function<T()>& load) {
  static std::map<std::string, std::shared_ptr<T>> cache;
  auto& slot = cache[key];
  if (!slot) slot = std::make_shared<T>(load());
  return *slot;
}

const platform::Bitmap& canvasBitmap(const std::string& size) {
  return cached<platform::Bitmap>("canvas " + size, [&] {
    return toBitmap(readPpm(input(("canvas_" + size + ".ppm").c_str())));
  });
}

const Pixels& canvasPixels(const std::string& size) {
  return cached<Pixels>("ppm " + size,
                        [&] { return readPpm(input(("canvas_" + size + ".ppm").c_str())); });
}

// ---- 1. metadata ---------------------------------------------------------------------------

struct MetadataCase {
  const char* label;
  const char* file;
};
constexpr MetadataCase kMetadataCases[] = {
    {"jpeg_12mp", kPhotoJpeg}, {"png_30000x30000", kBlankPng}, {"heic_12mp", kPhotoHeic}};

void registerMetadata() {
  for (const MetadataCase& c : kMetadataCases) {
    if (!have(c.file)) continue;
    const std::string path = input(c.file);
    add(std::string("metadata/ours/") + c.label, Speed::Micro, [path](benchmark::State& state) {
      const host::EncodableMap arguments{{"path", path}};
      int64_t width = 0;
      for (auto _ : state) {
        host::EncodableMap result = source::metadata(arguments);
        width = intEntry(result, "width");
        benchmark::DoNotOptimize(result);
      }
      state.counters["width"] = static_cast<double>(width);
    });
    add(std::string("metadata/ours_channel/") + c.label, Speed::Micro,
        [path](benchmark::State& state) {
          ChannelDriver driver;
          const host::EncodableMap arguments{{"path", path}};
          std::string error;
          for (auto _ : state) {
            host::EncodableMap result = driver.call("metadata", arguments, &error);
            if (!error.empty()) failBench(error);
            benchmark::DoNotOptimize(result);
          }
        });
#ifdef VELMO_HAVE_VIPS
    add(std::string("metadata/vips/") + c.label, Speed::Micro, [path](benchmark::State& state) {
      vips::Size size;
      for (auto _ : state) benchmark::DoNotOptimize(size = vips::header(path));
      state.counters["width"] = size.width;
    });
#endif
  }
}

// ---- 2. encoding ---------------------------------------------------------------------------

void registerEncoding() {
  for (const std::string size : {"1080x810", "4000x3000"}) {
    if (!have(("canvas_" + size + ".ppm").c_str())) continue;
    add("jpeg/ours/" + size, Speed::Milli, [size](benchmark::State& state) {
      const platform::BitmapView view = canvasBitmap(size).view();
      size_t bytes = 0;
      for (auto _ : state) {
        auto data = codec::encodeJpeg(view, 92);
        if (!data) failBench("encodeJpeg gave nothing");
        bytes = data->size();
      }
      state.counters["bytes"] = static_cast<double>(bytes);
    });
    for (const bool optimize : {false, true}) {
      add(std::string("jpeg/") + (optimize ? "libjpeg_optimize/" : "libjpeg_cjpeg/") + size,
          Speed::Milli, [size, optimize](benchmark::State& state) {
            const Pixels& pixels = canvasPixels(size);
            size_t bytes = 0;
            for (auto _ : state) bytes = libjpegCompress(pixels, 92, optimize).size();
            state.counters["bytes"] = static_cast<double>(bytes);
          });
    }
    // The render's last step: the first JPEG rung, then the atomic write with its fsyncs.
    add("write/encode_only/" + size, Speed::Milli, [size](benchmark::State& state) {
      const platform::BitmapView view = canvasBitmap(size).view();
      for (auto _ : state) benchmark::DoNotOptimize(codec::encodeJpeg(view, 92));
    });
    add("write/ours_write/" + size, Speed::Milli, [size](benchmark::State& state) {
      const platform::BitmapView view = canvasBitmap(size).view();
      const std::string destination = output("write_" + size);
      for (auto _ : state) {
        benchmark::DoNotOptimize(velmo::render::write(view, destination, false, 8'388'608));
      }
    });
    add("write/atomic_only/" + size, Speed::Milli, [size](benchmark::State& state) {
      const auto data = codec::encodeJpeg(canvasBitmap(size).view(), 92);
      if (!data) failBench("encodeJpeg gave nothing");
      const std::string path = output("atomic_" + size + ".jpg");
      for (auto _ : state) platform::writeFileAtomically(path, *data);
    });
  }

  if (have(kRgbaTile)) {
    add("png/ours/rgba_2048", Speed::Slow, [](benchmark::State& state) {
      const platform::Bitmap& bitmap =
          cached<platform::Bitmap>("rgba", [] { return toBitmap(readPng(input(kRgbaTile))); });
      size_t bytes = 0;
      for (auto _ : state) {
        auto data = codec::encodePng(bitmap.view());
        if (!data) failBench("encodePng gave nothing");
        bytes = data->size();
      }
      state.counters["bytes"] = static_cast<double>(bytes);
    });
#ifdef VELMO_HAVE_VIPS
    add("png/vips/rgba_2048", Speed::Slow, [](benchmark::State& state) {
      const Pixels& pixels =
          cached<Pixels>("rgba pixels", [] { return readPng(input(kRgbaTile)); });
      size_t bytes = 0;
      for (auto _ : state) bytes = vips::pngSaveBuffer(pixels).size();
      state.counters["bytes"] = static_cast<double>(bytes);
    });
#endif
  }
}

// ---- 3. render and decode ------------------------------------------------------------------

host::EncodableMap renderArguments(const std::string& destination, double inset) {
  const double side = 1 - 2 * inset;
  return {
      {"path", input(kPhotoJpeg)},
      {"destination", destination},
      {"width", int64_t{1080}},
      {"height", int64_t{810}},
      {"recipe", host::EncodableMap{{"crop", host::EncodableList{inset, inset, side, side}}}},
  };
}

void registerRender() {
  if (!have(kPhotoJpeg)) return;
  const std::string photo = input(kPhotoJpeg);

  // A crop of the middle 80 %: the decode limit becomes 1350, so the decoder cannot take the
  // 1/4 DCT shortcut and has to start from 3/8.
  for (const auto& [label, inset] : {std::pair{"crop", 0.1}, std::pair{"full", 0.0}}) {
    const host::EncodableMap arguments = renderArguments(output("render"), inset);
    add(std::string("render/ours/") + label, Speed::Milli, [arguments](benchmark::State& state) {
      render::BlurEngine blur;
      Diagnostics diagnostics;
      for (auto _ : state)
        benchmark::DoNotOptimize(velmo::render::render(arguments, blur, diagnostics));
    });
    add(std::string("render/ours_channel/") + label, Speed::Milli,
        [arguments](benchmark::State& state) {
          ChannelDriver driver;
          std::string error;
          for (auto _ : state) {
            benchmark::DoNotOptimize(driver.call("render", arguments, &error));
            if (!error.empty()) failBench(error);
          }
        });
  }
#ifdef VELMO_HAVE_VIPS
  add("render/vips/full", Speed::Milli, [photo](benchmark::State& state) {
    const std::string out = output("render_vips.jpg");
    for (auto _ : state) benchmark::DoNotOptimize(vips::thumbnailToJpeg(photo, 1080, 92, out));
  });
#endif

  // Decoding alone, to a longer side of 1080, pixels in memory.
  add("thumbnail/ours/jpeg_12mp_1080", Speed::Milli, [photo](benchmark::State& state) {
    uint32_t width = 0;
    for (auto _ : state) {
      auto file = platform::InputFile::open(photo);
      auto info = file ? codec::probeImage(*file) : std::nullopt;
      if (!info) failBench("cannot open the photo");
      auto bitmap = codec::decodeThumbnail(*file, *info, 1080);
      if (!bitmap) failBench("decodeThumbnail gave no image");
      width = bitmap->width();
    }
    state.counters["width"] = width;
  });
  // Two floors: libjpeg alone at the smallest DCT scale that covers 1080, and at the scale
  // our decoder starts from, which keeps 1.5 times the target for its area average to
  // anti-alias (so the difference between ours and this floor is the shrink).
  for (const auto& [label, halves] :
       {std::pair{"libjpeg_floor", 2u}, std::pair{"libjpeg_floor_ours", 3u}}) {
    add(std::string("thumbnail/") + label + "/jpeg_12mp_1080", Speed::Milli,
        [photo, halves](benchmark::State& state) {
          const unsigned scale = dctScaleFor(4032, 3024, 1080 * halves / 2);
          uint32_t width = 0;
          for (auto _ : state) width = libjpegDecodeScaled(photo, scale).width;
          state.counters["width"] = width;
          state.counters["scale_eighths"] = scale;
        });
  }
#ifdef VELMO_HAVE_VIPS
  add("thumbnail/vips/jpeg_12mp_1080", Speed::Milli, [photo](benchmark::State& state) {
    vips::Size size;
    for (auto _ : state) size = vips::thumbnailToMemory(photo, 1080);
    state.counters["width"] = size.width;
  });
#endif
}

// ---- 5. render-full -------------------------------------------------------------------------

host::EncodableList pointList(const std::vector<FractionPoint>& points) {
  host::EncodableList list;
  for (const FractionPoint& p : points) list.push_back(host::EncodableList{p.x, p.y});
  return list;
}

// The render-full job as "render" arguments. widthFraction is of the photo's shorter side in
// photo pixels, so a width in output pixels is scaled by output pixels per photo pixel.
host::EncodableMap fullJobArguments(const std::string& destination) {
  const double side = 1 - 2 * kFullInset;
  const double outputPerPhotoPixel = kFullWidth / (4032.0 * side);
  auto fraction = [&](double pixels) { return pixels / (3024.0 * outputPerPhotoPixel); };
  host::EncodableList strokes;
  for (const auto& pen : fullJobPens()) {
    strokes.push_back(host::EncodableMap{{"points", pointList(pen)},
                                         {"colorARGB", int64_t{kFullPenColor}},
                                         {"widthFraction", fraction(kFullPenWidth)}});
  }
  strokes.push_back(host::EncodableMap{{"points", pointList(fullJobBlurPath())},
                                       {"shape", std::string("blur")},
                                       {"widthFraction", fraction(kFullBlurWidth)}});
  return {
      {"path", input(kPhotoJpeg)},
      {"destination", destination},
      {"width", int64_t{kFullWidth}},
      {"height", int64_t{kFullHeight}},
      {"recipe",
       host::EncodableMap{
           {"crop", host::EncodableList{kFullInset, kFullInset, side, side}},
           {"strokes", strokes},
           {"watermark", host::EncodableMap{{"enabled", true},
                                            {"text", std::string(kFullSignature)},
                                            {"style", std::string("minimalSignature")}}},
       }},
  };
}

void registerRenderFull() {
  if (!have(kPhotoJpeg)) return;
  const std::string photo = input(kPhotoJpeg);
  add("full/ours/jpeg_12mp", Speed::Milli, [](benchmark::State& state) {
    const host::EncodableMap arguments = fullJobArguments(output("full_ours"));
    render::BlurEngine blur;
    Diagnostics diagnostics;
    for (auto _ : state)
      benchmark::DoNotOptimize(velmo::render::render(arguments, blur, diagnostics));
  });
  // The plain render of the same crop, no annotations.
  add("full/ours_plain/jpeg_12mp", Speed::Milli, [](benchmark::State& state) {
    const host::EncodableMap arguments = renderArguments(output("full_plain"), kFullInset);
    render::BlurEngine blur;
    Diagnostics diagnostics;
    for (auto _ : state)
      benchmark::DoNotOptimize(velmo::render::render(arguments, blur, diagnostics));
  });
  // The floor: libjpeg-turbo decoding at the smallest DCT scale whose crop still covers the
  // output, and one encode of the output canvas.
  add("full/floor/jpeg_12mp", Speed::Milli, [photo](benchmark::State& state) {
    const double side = 1 - 2 * kFullInset;
    const auto limit = static_cast<uint32_t>(std::ceil(kFullWidth / side));
    const unsigned scale = dctScaleFor(4032, 3024, limit);
    const Pixels& canvas = canvasPixels("1080x810");
    size_t bytes = 0;
    for (auto _ : state) {
      benchmark::DoNotOptimize(libjpegDecodeScaled(photo, scale));
      bytes = libjpegCompress(canvas, 92, false).size();
    }
    state.counters["scale_eighths"] = scale;
    state.counters["bytes"] = static_cast<double>(bytes);
  });
#ifdef VELMO_HAVE_VIPS
  add("full/vips/jpeg_12mp", Speed::Milli, [photo](benchmark::State& state) {
    const std::string out = output("full_vips.jpg");
    for (auto _ : state) benchmark::DoNotOptimize(vips::renderFull(photo, out));
  });
#endif
}

// ---- 4. tiles ------------------------------------------------------------------------------

struct TileCase {
  const char* label;
  const char* file;
  int height;
  int sample;
};
constexpr TileCase kTileCases[] = {
    {"png_s1", kLongPng, 2048, 1},
    {"png_s2", kLongPng, 4096, 2},
    {"jpeg_s1", kLongJpeg, 2048, 1},
    {"jpeg_s2", kLongJpeg, 4096, 2},
};
constexpr int kTileY = 20000;

void registerTiles() {
  for (const TileCase& c : kTileCases) {
    if (!have(c.file)) continue;
    const std::string path = input(c.file);
    add(std::string("tile/ours/") + c.label, Speed::Slow, [path, c](benchmark::State& state) {
      const std::string destination = output(std::string("tile_") + c.label);
      const host::EncodableMap arguments{
          {"path", path},
          {"destination", destination},
          {"x", 0.0},
          {"y", double{kTileY}},
          {"width", 1080.0},
          {"height", double(c.height)},
          {"sample", double(c.sample)},
      };
      int64_t height = 0;
      for (auto _ : state) {
        state.PauseTiming();
        // The tile file doubles as a cache entry: without this only the first run would work.
        std::remove((destination + ".png").c_str());
        state.ResumeTiming();
        height = intEntry(tile::tile(arguments), "height");
      }
      state.counters["height"] = static_cast<double>(height);
    });
#ifdef VELMO_HAVE_VIPS
    for (const bool sequential : {false, true}) {
      add(std::string("tile/") + (sequential ? "vips_sequential/" : "vips_random/") + c.label,
          Speed::Slow, [path, c, sequential](benchmark::State& state) {
            const std::string out = output(std::string("tile_vips_") + c.label + ".png");
            for (auto _ : state) {
              vips::tile(path, 0, kTileY, 1080, c.height, c.sample, sequential, out);
            }
          });
    }
#endif
  }
}

// ---- 4c. deep tiles ------------------------------------------------------------------------

// Tiles down a long image in one long-lived caller, which keeps the decodes' checkpoints
// between calls as the plug-in does: the top window; the last window (the one ending at the
// last row) once the file has been read past it; every window from the top down, one after
// the other (the time is the whole scroll, "tiles" says how many); and the last window of a
// file not read before. Windows are 1080 x 2048 at sample 1 and 1080 x 4096 at sample 2.
struct DeepCase {
  const char* label;
  const char* file;
  int height;
  int sample;
};
constexpr DeepCase kDeepCases[] = {
    {"png_s1", kLongPng, 2048, 1},      {"png_s2", kLongPng, 4096, 2},
    {"rgba_s1", kLongRgbaPng, 2048, 1}, {"rgba_s2", kLongRgbaPng, 4096, 2},
    {"jpeg_s1", kLongJpeg, 2048, 1},    {"jpeg_s2", kLongJpeg, 4096, 2},
};
constexpr int kLongHeight = 30000;

host::EncodableMap deepArguments(const std::string& path, const std::string& destination, int y,
                                 const DeepCase& c) {
  return {{"path", path},
          {"destination", destination},
          {"x", 0.0},
          {"y", double(y)},
          {"width", 1080.0},
          {"height", double(c.height)},
          {"sample", double(c.sample)}};
}

// One tile into |destination|.png, made again whatever is there.
void deepTile(const std::string& path, const std::string& destination, int y, const DeepCase& c,
              codec::DecodeCheckpoints& checkpoints) {
  std::remove((destination + ".png").c_str());
  if (intEntry(tile::tile(deepArguments(path, destination, y, c), &checkpoints), "height") <= 0) {
    failBench("no tile");
  }
}

void registerDeepTiles() {
  for (const DeepCase& c : kDeepCases) {
    if (!have(c.file)) continue;
    const std::string path = input(c.file);
    const std::string destination = output(std::string("deep_") + c.label);
    const int last = kLongHeight - c.height;
    add(std::string("deep/ours/") + c.label + "/top", Speed::Slow, [=](benchmark::State& state) {
      for (auto _ : state) {
        codec::DecodeCheckpoints checkpoints;
        deepTile(path, destination, 0, c, checkpoints);
      }
    });
    add(std::string("deep/ours/") + c.label + "/read_past", Speed::Slow,
        [=](benchmark::State& state) {
          codec::DecodeCheckpoints checkpoints;
          deepTile(path, destination, last, c, checkpoints);  // reads the file once
          for (auto _ : state) deepTile(path, destination, last, c, checkpoints);
        });
    add(std::string("deep/ours/") + c.label + "/first", Speed::Slow, [=](benchmark::State& state) {
      for (auto _ : state) {
        codec::DecodeCheckpoints checkpoints;
        deepTile(path, destination, last, c, checkpoints);
      }
    });
    add(std::string("deep/ours/") + c.label + "/scroll", Speed::Slow, [=](benchmark::State& state) {
      int tiles = 0;
      size_t bytes = 0;
      for (auto _ : state) {
        codec::DecodeCheckpoints checkpoints;
        tiles = 0;
        for (int y = 0; y < kLongHeight; y += c.height, ++tiles) {
          deepTile(path, destination, y, c, checkpoints);
        }
        bytes = checkpoints.bytes();
      }
      state.counters["tiles"] = tiles;
      state.counters["checkpoint_bytes"] = static_cast<double>(bytes);
    });
#ifdef VELMO_HAVE_VIPS
    for (const bool deep : {false, true}) {
      add(std::string("deep/vips_random/") + c.label + (deep ? "/deep" : "/top"), Speed::Slow,
          [=](benchmark::State& state) {
            const std::string out = output(std::string("deep_vips_") + c.label + ".png");
            for (auto _ : state) {
              vips::tile(path, 0, deep ? last : 0, 1080, c.height, c.sample, false, out);
            }
          });
    }
#endif
  }
}

// ---- 5. strokes ---------------------------------------------------------------------------

// Pen strokes as a finger draws them: 20 random walks of 200 points, each step up to 1 % of
// the canvas, default width; then 3 blur brushes of 20 points, 5 % of the short side wide.
std::vector<draw::Stroke> penStrokes() {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> start(0.15, 0.85), step(-0.01, 0.01);
  std::vector<draw::Stroke> strokes;
  for (int i = 0; i < 23; ++i) {
    draw::Stroke stroke;
    stroke.color = draw::colorFromArgb(0xFFFF3B30);
    const bool blur = i >= 20;
    if (blur) {
      stroke.shape = draw::Shape::Blur;
      stroke.widthFraction = 0.05;
    }
    double x = start(random), y = start(random);
    for (int p = 0; p < (blur ? 20 : 200); ++p) {
      x += step(random) * (blur ? 3 : 1);
      y += step(random) * (blur ? 3 : 1);
      stroke.points.push_back({x, y});
    }
    strokes.push_back(std::move(stroke));
  }
  return strokes;
}

draw::StrokeSpace wholeCanvas(const platform::Bitmap& canvas) {
  const double w = canvas.width(), h = canvas.height();
  return {w, h, w, h, {0, 0, 1, 1}};
}

void registerStrokes() {
  for (const std::string size : {"1080x810", "4000x3000"}) {
    if (!have(("canvas_" + size + ".ppm").c_str())) continue;
    // The render's share: the strokes drawn onto the canvas (the blur preview made from it
    // once beforehand), and the JPEG encode of that canvas.
    add("strokes/ours/" + size, Speed::Milli, [size](benchmark::State& state) {
      const platform::Bitmap& photo = canvasBitmap(size);
      draw::Canvas canvas(photo.width(), photo.height(), false);
      canvas.drawStretched(photo.view());
      const auto preview = draw::BlurContext().obscuredPreview(photo.view());
      if (!preview) failBench("no blur preview");
      const std::vector<draw::Stroke> strokes = penStrokes();
      for (auto _ : state) {
        draw::drawStrokes(canvas, strokes, wholeCanvas(photo), preview->view());
      }
    });
    // The two parts of that set on their own: the 20 pens, and the 3 blur brushes.
    for (const bool blur : {false, true}) {
      add(std::string("strokes/") + (blur ? "blur_only/" : "pens_only/") + size, Speed::Milli,
          [size, blur](benchmark::State& state) {
            const platform::Bitmap& photo = canvasBitmap(size);
            draw::Canvas canvas(photo.width(), photo.height(), false);
            canvas.drawStretched(photo.view());
            const auto preview = draw::BlurContext().obscuredPreview(photo.view());
            if (!preview) failBench("no blur preview");
            std::vector<draw::Stroke> strokes = penStrokes();
            std::erase_if(strokes, [blur](const draw::Stroke& s) {
              return (s.shape == draw::Shape::Blur) != blur;
            });
            for (auto _ : state) {
              draw::drawStrokes(canvas, strokes, wholeCanvas(photo), preview->view());
            }
          });
    }
    add("strokes/jpeg_encode/" + size, Speed::Milli, [size](benchmark::State& state) {
      const platform::Bitmap& photo = canvasBitmap(size);
      draw::Canvas canvas(photo.width(), photo.height(), false);
      canvas.drawStretched(photo.view());
      const auto preview = draw::BlurContext().obscuredPreview(photo.view());
      if (!preview) failBench("no blur preview");
      draw::drawStrokes(canvas, penStrokes(), wholeCanvas(photo), preview->view());
      for (auto _ : state) benchmark::DoNotOptimize(codec::encodeJpeg(canvas.view(), 92));
    });
    add("strokes/blur_preview/" + size, Speed::Micro, [size](benchmark::State& state) {
      const platform::Bitmap& photo = canvasBitmap(size);
      const draw::BlurContext blur;
      for (auto _ : state) benchmark::DoNotOptimize(blur.obscuredPreview(photo.view()));
    });
  }
  if (have("canvas_4000x3000.ppm")) {
    // One-point blur brushes, each costing only its own few pixels.
    add("strokes/ours_5000_blur_dots/4000x3000", Speed::Slow, [](benchmark::State& state) {
      const platform::Bitmap& photo = canvasBitmap("4000x3000");
      draw::Canvas canvas(photo.width(), photo.height(), false);
      canvas.drawStretched(photo.view());
      const auto preview = draw::BlurContext().obscuredPreview(photo.view());
      if (!preview) failBench("no blur preview");
      std::mt19937 random(11);
      std::uniform_real_distribution<double> anywhere(0, 1);
      std::vector<draw::Stroke> dots(5000);
      for (draw::Stroke& dot : dots) {
        dot.shape = draw::Shape::Blur;
        dot.points = {{anywhere(random), anywhere(random)}};
      }
      for (auto _ : state) draw::drawStrokes(canvas, dots, wholeCanvas(photo), preview->view());
    });
  }

  if (!have(kPhotoJpeg)) return;
  // The preview of a whole decoded 12 MP photo, beside that decode.
  const std::string photo = input(kPhotoJpeg);
  auto decodeWhole = [photo] {
    auto file = platform::InputFile::open(photo);
    auto info = file ? codec::probeImage(*file) : std::nullopt;
    if (!info) failBench("cannot open the photo");
    auto bitmap = codec::decodeThumbnail(*file, *info, 4032);
    if (!bitmap) failBench("decodeThumbnail gave no image");
    return std::move(*bitmap);
  };
  add("blur_preview/decode/jpeg_12mp", Speed::Slow, [decodeWhole](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(decodeWhole());
  });
  add("blur_preview/ours/jpeg_12mp", Speed::Milli, [decodeWhole](benchmark::State& state) {
    const platform::Bitmap& decoded = cached<platform::Bitmap>("12mp decoded", decodeWhole);
    const draw::BlurContext blur;
    for (auto _ : state) benchmark::DoNotOptimize(blur.obscuredPreview(decoded.view()));
  });
}

}  // namespace
}  // namespace velmo::bench

int main(int argc, char** argv) {
  // Our own flag is taken out before Google Benchmark reads the rest.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--data=", 7) == 0) {
      velmo::bench::gData = argv[i] + 7;
    } else if (std::strncmp(argv[i], "--repetitions=", 14) == 0) {
      // Each benchmark sets its own repetitions, which Google Benchmark's flag cannot
      // override; this sets them all (the driver reads the median).
      velmo::bench::gRepetitions = std::max(1, std::atoi(argv[i] + 14));
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (velmo::bench::gData.empty()) {
    if (const char* env = std::getenv("VELMO_BENCH_DATA")) velmo::bench::gData = env;
  }
  if (velmo::bench::gData.empty()) velmo::bench::die("usage: velmo_bench --data=DIR [flags]");
  std::filesystem::create_directories(std::filesystem::path(velmo::bench::gData) / "out");
#ifdef VELMO_HAVE_VIPS
  velmo::bench::vips::init(argv[0]);
#endif

  velmo::bench::registerMetadata();
  velmo::bench::registerEncoding();
  velmo::bench::registerRender();
  velmo::bench::registerTiles();
  velmo::bench::registerDeepTiles();
  velmo::bench::registerStrokes();
  velmo::bench::registerRenderFull();

  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
