// The Pango text engine: the faces it picks for Latin and Traditional Chinese text, its
// measures, and its drawing compared with one plain Pango layout of the same text.
#include "draw/text.h"

#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "draw/canvas.h"

namespace velmo::draw {
namespace {

constexpr const char* kMixed = "© Velmo 2026 · 維爾莫相簿";

// A plain Pango layout with the engine's documented settings, as an independent reference.
class ReferenceLayout {
 public:
  ReferenceLayout(const std::string& text, double fontSize)
      : fontMap_(pango_cairo_font_map_new()),
        context_(pango_font_map_create_context(fontMap_.get())) {
    CairoFontOptions options(cairo_font_options_create());
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(context_.get(), options.get());
    pango_context_set_round_glyph_positions(context_.get(), FALSE);
    pango_context_set_language(context_.get(), pango_language_from_string("zh-tw"));
    layout_.reset(pango_layout_new(context_.get()));
    PangoFontDescriptionOwner font(
        pango_font_description_from_string("Noto Sans, Noto Sans CJK TC, sans-serif"));
    pango_font_description_set_weight(font.get(), PANGO_WEIGHT_SEMIBOLD);
    pango_font_description_set_absolute_size(font.get(), fontSize * PANGO_SCALE);
    pango_layout_set_font_description(layout_.get(), font.get());
    pango_layout_set_text(layout_.get(), text.data(), static_cast<int>(text.size()));
  }
  PangoLayout* get() { return layout_.get(); }

  // "family style" of each run's font.
  std::set<std::string> faces() {
    std::set<std::string> names;
    PangoLayoutLine* line = pango_layout_get_line_readonly(layout_.get(), 0);
    for (GSList* item = line->runs; item != nullptr; item = item->next) {
      auto* run = static_cast<PangoGlyphItem*>(item->data);
      PangoFontDescriptionOwner description(pango_font_describe(run->item->analysis.font));
      const int weight = pango_font_description_get_weight(description.get());
      names.insert(std::string(pango_font_description_get_family(description.get())) + " " +
                   std::to_string(weight));
    }
    return names;
  }

 private:
  GObjectOwner<PangoFontMap> fontMap_;
  GObjectOwner<PangoContext> context_;
  GObjectOwner<PangoLayout> layout_;
};

int maxDifference(Canvas& a, Canvas& b) {
  const auto pa = a.view(), pb = b.view();
  int worst = 0;
  for (uint32_t y = 0; y < pa.height; ++y) {
    for (uint32_t x = 0; x < pa.width; ++x) {
      for (int shift : {0, 8, 16}) {
        const int da = static_cast<int>((pa.row(y)[x] >> shift) & 0xFF);
        const int db = static_cast<int>((pb.row(y)[x] >> shift) & 0xFF);
        worst = std::max(worst, std::abs(da - db));
      }
    }
  }
  return worst;
}

TEST(Text, MixedLatinAndChineseUseRealFacesWithNoMissingGlyphs) {
  ReferenceLayout layout(kMixed, 20);
  EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout.get()), 0);
  // Noto Sans has a true SemiBold (600); Noto Sans CJK has Regular and Bold only (700).
  const std::set<std::string> faces = layout.faces();
  EXPECT_TRUE(faces.contains("Noto Sans 600")) << ::testing::PrintToString(faces);
  EXPECT_TRUE(faces.contains("Noto Sans CJK TC 700")) << ::testing::PrintToString(faces);
}

TEST(Text, MeasuresScaleWithTheFontSizeAndMatchPango) {
  TextEngine& engine = systemTextEngine();
  const TextSize small = engine.layOut(kMixed, 20)->size();
  const TextSize large = engine.layOut(kMixed, 40)->size();
  EXPECT_NEAR(large.width, 2 * small.width, small.width * 1e-3);
  EXPECT_NEAR(large.height, 2 * small.height, small.height * 1e-3);
  ReferenceLayout reference(kMixed, 20);
  PangoRectangle logical;
  pango_layout_get_extents(reference.get(), nullptr, &logical);
  EXPECT_DOUBLE_EQ(small.width, static_cast<double>(logical.width) / PANGO_SCALE);
  EXPECT_DOUBLE_EQ(small.height, static_cast<double>(logical.height) / PANGO_SCALE);
  // Explicit line breaks start new lines.
  const TextSize twoLines = engine.layOut("Velmo\n維爾莫", 20)->size();
  EXPECT_GT(twoLines.height, 1.8 * small.height);
}

TEST(Text, LongLinesDrawAsOnePangoLayoutDoes) {
  // 2,500 Han characters, one em each: the engine shapes them in pieces of 682 characters.
  // Drawn slightly turned, with the canvas showing where the first piece meets the second
  // (12,276 units along), only the glyphs near the canvas drawn, it matches one layout drawn
  // whole.
  std::string text;
  for (int i = 0; i < 500; ++i) text += "維爾莫相簿";
  const double fontSize = 18;
  auto setUp = [](cairo_t* cr) {
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    cairo_translate(cr, 300 - 12276 * std::cos(0.05), 150 - 12276 * std::sin(0.05));
    cairo_rotate(cr, 0.05);
  };
  Canvas ours(600, 300, false), theirs(600, 300, false);
  setUp(ours.context());
  systemTextEngine().layOut(text, fontSize)->drawAt(ours.context(), 0, 0, {1, 1, 1, 1});
  setUp(theirs.context());
  ReferenceLayout reference(text, fontSize);
  cairo_set_source_rgb(theirs.context(), 1, 1, 1);
  pango_cairo_show_layout(theirs.context(), reference.get());
  // Something was drawn, and the same.
  int lit = 0;
  const auto pixels = ours.view();
  for (uint32_t y = 0; y < pixels.height; ++y) {
    for (uint32_t x = 0; x < pixels.width; ++x) lit += (pixels.row(y)[x] & 0xFF) > 128;
  }
  EXPECT_GT(lit, 2000);
  EXPECT_LE(maxDifference(ours, theirs), 2);
}

TEST(Text, RectanglesShowOnlyTheLinesThatFit) {
  // A text three lines long once wrapped to 200 units: a rectangle one line high shows the
  // first line only; a taller one shows more.
  const std::string text = "Velmo 2026 Velmo 2026 Velmo 2026 Velmo 2026 Velmo 2026";
  auto inkBottom = [&](double rectHeight) {
    Canvas canvas(300, 300, false);
    cairo_t* cr = canvas.context();
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    auto laid = systemTextEngine().layOut(text, 20);
    laid->drawIn(cr, {10, 10, 200, rectHeight}, {1, 1, 1, 1});
    const auto pixels = canvas.view();
    uint32_t bottom = 0, right = 0;
    for (uint32_t y = 0; y < pixels.height; ++y) {
      for (uint32_t x = 0; x < pixels.width; ++x) {
        if ((pixels.row(y)[x] & 0xFF) > 0) bottom = y, right = std::max(right, x);
      }
    }
    EXPECT_LE(right, 211u);
    return bottom;
  };
  const double lineHeight = systemTextEngine().layOut(text, 20)->size().height;
  const uint32_t one = inkBottom(lineHeight);
  EXPECT_LE(one, 10 + lineHeight);
  EXPECT_GT(inkBottom(3 * lineHeight), one + 1.5 * lineHeight);
  // Not even one line fits: the first is still drawn.
  EXPECT_EQ(inkBottom(lineHeight / 2), one);
}

TEST(Text, RectanglesOfTheMeasuredSizeShowEveryLine) {
  const std::string text = "Velmo\n維爾莫\nVelmo 2026";
  auto laid = systemTextEngine().layOut(text, 20);
  const TextSize size = laid->size();
  Canvas canvas(300, 300, false);
  cairo_t* cr = canvas.context();
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);
  laid->drawIn(cr, {10, 10, size.width, size.height}, {1, 1, 1, 1});
  const auto pixels = canvas.view();
  uint32_t bottom = 0;
  for (uint32_t y = 0; y < pixels.height; ++y) {
    for (uint32_t x = 0; x < pixels.width; ++x) {
      if ((pixels.row(y)[x] & 0xFF) > 0) bottom = y;
    }
  }
  // The third line's ink ends below two thirds of the text's height.
  EXPECT_GT(bottom, 10 + size.height * 2 / 3);
  EXPECT_LE(bottom, 10 + size.height);
}

}  // namespace
}  // namespace velmo::draw
