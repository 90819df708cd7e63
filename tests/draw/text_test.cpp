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

 private:
  GObjectOwner<PangoFontMap> fontMap_;
  GObjectOwner<PangoContext> context_;
  GObjectOwner<PangoLayout> layout_;
};

TEST(Text, MixedLatinAndChineseUseRealFacesWithNoMissingGlyphs) {
  ReferenceLayout layout(kMixed, 20);
  EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout.get()), 0);
  // Noto Sans has a true SemiBold (600); Noto Sans CJK has Regular and Bold only (700).
  std::set<std::string> faces;
  for (GSList* item = pango_layout_get_line_readonly(layout.get(), 0)->runs; item != nullptr;
       item = item->next) {
    PangoFontDescriptionOwner font(
        pango_font_describe(static_cast<PangoGlyphItem*>(item->data)->item->analysis.font));
    faces.insert(std::string(pango_font_description_get_family(font.get())) + " " +
                 std::to_string(pango_font_description_get_weight(font.get())));
  }
  EXPECT_EQ(faces, (std::set<std::string>{"Noto Sans 600", "Noto Sans CJK TC 700"}));
}

TEST(Text, InvalidUtf8AndNulsAreShownAsReplacementCharacters) {
  const double valid = systemTextEngine().layOut("Vel\uFFFDmo\uFFFD", 20)->size().width;
  EXPECT_EQ(systemTextEngine().layOut(std::string("Vel\0mo\xff", 7), 20)->size().width, valid);
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
  // Something was drawn, and the same pixels.
  const auto mine = ours.view(), plain = theirs.view();
  int lit = 0;
  for (uint32_t y = 0; y < mine.height; ++y) {
    for (uint32_t x = 0; x < mine.width; ++x) lit += (mine.row(y)[x] & 0xFF) > 128;
    EXPECT_TRUE(std::equal(mine.row(y), mine.row(y) + mine.width, plain.row(y))) << y;
  }
  EXPECT_GT(lit, 2000);
}

TEST(Text, RectanglesShowOnlyTheLinesThatFit) {
  // Three lines once wrapped to 200 units: a rectangle one line high shows the first only, a
  // taller one more, and one too short still shows the first. Explicit breaks count as lines.
  auto inkBottom = [](const std::string& text, double width, double height) {
    Canvas canvas(300, 300, false);
    cairo_set_source_rgb(canvas.context(), 0, 0, 0);
    cairo_paint(canvas.context());
    systemTextEngine().layOut(text, 20)->drawIn(canvas.context(), {10, 10, width, height},
                                                {1, 1, 1, 1});
    const auto pixels = canvas.view();
    uint32_t bottom = 0;
    for (uint32_t y = 0; y < pixels.height; ++y) {
      for (uint32_t x = 0; x < pixels.width; ++x) {
        if ((pixels.row(y)[x] & 0xFF) > 0) bottom = y;
      }
    }
    return static_cast<double>(bottom);
  };
  const std::string text = "Velmo 2026 Velmo 2026 Velmo 2026 Velmo 2026 Velmo 2026";
  const double line = systemTextEngine().layOut(text, 20)->size().height;
  const double one = inkBottom(text, 200, line);
  EXPECT_LE(one, 10 + line);
  EXPECT_GT(inkBottom(text, 200, 3 * line), one + 1.5 * line);
  EXPECT_EQ(inkBottom(text, 200, line / 2), one);
  const Size three = systemTextEngine().layOut("Velmo\n維爾莫\nVelmo", 20)->size();
  EXPECT_GT(inkBottom("Velmo\n維爾莫\nVelmo", three.width, three.height),
            10 + three.height * 2 / 3);
}

TEST(Text, TextStartingLeftOfAnUnturnedCanvasDrawsAsOnePangoLayoutDoes) {
  // Unturned, the canvas is all that can be seen: a text whose start lies left of it, cut
  // inside its first glyph, past it, inside a glyph that starts more than an em out, or far
  // out in a long line (the second of its shaped pieces at the canvas), shows the same pixels
  // as one layout drawn whole.
  std::string han;
  for (int i = 0; i < 500; ++i) han += "維爾莫相簿";
  struct Case {
    std::string text;
    double fontSize, x, y;
  };
  for (const Case& c :
       {Case{"Velmo 2026 · 維爾莫相簿", 20, -7.3, 12},
        Case{"Velmo 2026 · 維爾莫相簿", 20, -23.6, 40.5},
        Case{"Velmo 2026 · 維爾莫相簿", 20, -60.2, -9.7},
        Case{"\u2E3BVelmo", 20, -45, 60},  // a three-em dash reaching in from 45 units out
        Case{han, 18, 300 - 12276, 100}}) {
    SCOPED_TRACE(c.x);
    Canvas ours(300, 120, false), theirs(300, 120, false);
    for (Canvas* canvas : {&ours, &theirs}) {
      cairo_set_source_rgb(canvas->context(), 0, 0, 0);
      cairo_paint(canvas->context());
    }
    systemTextEngine().layOut(c.text, c.fontSize)->drawAt(ours.context(), c.x, c.y, {1, 1, 1, 1});
    ReferenceLayout reference(c.text, c.fontSize);
    cairo_set_source_rgb(theirs.context(), 1, 1, 1);
    cairo_move_to(theirs.context(), c.x, c.y);
    pango_cairo_show_layout(theirs.context(), reference.get());
    const auto mine = ours.view(), plain = theirs.view();
    int lit = 0, differ = 0;
    for (uint32_t y = 0; y < mine.height; ++y) {
      for (uint32_t x = 0; x < mine.width; ++x) {
        lit += (plain.row(y)[x] & 0xFF) > 128;
        differ += mine.row(y)[x] != plain.row(y)[x];
      }
    }
    EXPECT_GT(lit, 100);
    EXPECT_EQ(differ, 0);
  }
}

}  // namespace
}  // namespace velmo::draw
