#include "draw/text.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "draw/cairo_owners.h"

namespace velmo::draw {
namespace {

using PangoLayoutOwner = GObjectOwner<PangoLayout>;
using PangoContextOwner = GObjectOwner<PangoContext>;
using PangoFontMapOwner = GObjectOwner<PangoFontMap>;
using PangoGlyphStringOwner = platform::Owner<PangoGlyphString, pango_glyph_string_free>;
using PangoAttrListOwner = platform::Owner<PangoAttrList, pango_attr_list_unref>;
using GCharOwner = platform::Owner<char, g_free>;

// The Latin face first, then Han text in its Traditional Chinese forms, then whatever the
// system has for other scripts.
constexpr const char* kFamilies = "Noto Sans, Noto Sans CJK TC, sans-serif";

// Pango keeps positions in 32-bit integers of 1/1024 unit, so one layout must stay well
// under two million units wide. Long lines are shaped in pieces of at most this many bytes
// (a few hundred glyphs), placed side by side in doubles.
constexpr size_t kPieceBytes = 2048;

double fromPango(double units) {
  return units / PANGO_SCALE;
}
constexpr double kHalfPangoUnit = 0.5 / PANGO_SCALE;

// Pango, its font map and one context, shared by the whole process and guarded by one lock:
// Pango objects may be used by one thread at a time.
class PangoFonts {
 public:
  PangoFonts() : fontMap_(pango_cairo_font_map_new()) {
    context_.reset(pango_font_map_create_context(fontMap_.get()));
    // Unhinted metrics and unrounded positions: a text measures the same at every scale, and
    // its size scales exactly with the reference transform.
    CairoFontOptions options(cairo_font_options_create());
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(context_.get(), options.get());
    pango_context_set_round_glyph_positions(context_.get(), FALSE);
    pango_context_set_language(context_.get(), pango_language_from_string("zh-tw"));
  }

  std::mutex& mutex() { return mutex_; }

  PangoLayoutOwner layout(std::string_view text, double fontSize) {
    PangoLayoutOwner layout(pango_layout_new(context_.get()));
    PangoFontDescriptionOwner font(pango_font_description_from_string(kFamilies));
    pango_font_description_set_weight(font.get(), PANGO_WEIGHT_SEMIBOLD);
    pango_font_description_set_absolute_size(font.get(), fontSize * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), font.get());
    pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
    // A word broken across lines gets no hyphen: the text is shown as it was typed.
    PangoAttrListOwner attributes(pango_attr_list_new());
    pango_attr_list_insert(attributes.get(), pango_attr_insert_hyphens_new(FALSE));
    pango_layout_set_attributes(layout.get(), attributes.get());
    return layout;
  }

 private:
  std::mutex mutex_;
  PangoFontMapOwner fontMap_;
  PangoContextOwner context_;
};

PangoFonts& fonts() {
  static PangoFonts instance;
  return instance;
}

// The length in bytes of the UTF-8 sequence starting with |lead|.
size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Characters that end a line: the paragraph separators Pango knows and the mandatory breaks.
size_t lineBreakLength(std::string_view text, size_t at) {
  const unsigned char c = static_cast<unsigned char>(text[at]);
  if (c == '\r') return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
  if (c == '\n' || c == '\v' || c == '\f') return 1;
  const std::string_view rest = text.substr(at);
  if (rest.starts_with("\u2028") || rest.starts_with("\u2029")) return 3;
  if (rest.starts_with("\u0085")) return 2;
  return 0;
}

// A place where shaping may be cut without moving any glyph: before a character that starts
// a new cluster (not a combining mark, joiner or variation selector, and not after a joiner).
bool startsCluster(std::string_view text, size_t at, size_t previous) {
  const gunichar c = g_utf8_get_char_validated(text.data() + at, -1);
  const gunichar p = g_utf8_get_char_validated(text.data() + previous, -1);
  if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) return false;
  if (g_unichar_ismark(c) || c == 0x200D || p == 0x200D || c == 0x200C) return false;
  if ((c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF)) return false;
  if (c >= 0x1F3FB && c <= 0x1F3FF) return false;  // skin tones
  return true;
}

// Cuts |line| into pieces of at most about kPieceBytes, preferring to cut after a space.
std::vector<std::string_view> pieces(std::string_view line) {
  std::vector<std::string_view> result;
  while (line.size() > kPieceBytes) {
    size_t cut = 0;
    const size_t space = line.rfind(' ', kPieceBytes - 1);
    if (space != std::string_view::npos && space > kPieceBytes / 2) {
      cut = space + 1;
    } else {
      size_t previous = 0;
      for (size_t at = 0; at < kPieceBytes; at += sequenceLength(line[at])) {
        if (at > kPieceBytes / 2 && startsCluster(line, at, previous)) cut = at;
        previous = at;
      }
      if (cut == 0) cut = kPieceBytes;
    }
    result.push_back(line.substr(0, cut));
    line.remove_prefix(cut);
  }
  result.push_back(line);
  return result;
}

// One piece of a line, shaped on its own.
struct Piece {
  PangoLayoutOwner layout;
  size_t begin = 0;  // byte offset in the line
  double x = 0;      // from the line's left edge
  double width = 0;
  double ascent = 0;
  double descent = 0;
};

// One line between explicit breaks.
struct Line {
  std::string text;
  std::vector<Piece> pieces;
  double width = 0;
  double ascent = 0;
  double descent = 0;
  double height() const { return ascent + descent; }
};

// Draws the glyphs of |line| (a single-line layout's only line) whose advance overlaps
// [from, to] (in units from the line's left edge), with the line's left baseline at (x, y).
void drawGlyphs(cairo_t* cr, PangoLayoutLine* line, double x, double y, double from, double to) {
  double runX = 0;
  for (GSList* item = line->runs; item != nullptr; item = item->next) {
    auto* run = static_cast<PangoGlyphItem*>(item->data);
    PangoGlyphString* glyphs = run->glyphs;
    int first = -1;
    int last = -1;
    double firstX = 0;
    double glyphX = runX;
    for (int i = 0; i < glyphs->num_glyphs; ++i) {
      const double advance = fromPango(glyphs->glyphs[i].geometry.width);
      if (glyphX + std::max(advance, 0.0) >= from && glyphX + std::min(advance, 0.0) <= to) {
        if (first < 0) {
          first = i;
          firstX = glyphX;
        }
        last = i;
      }
      glyphX += advance;
    }
    if (first >= 0) {
      const int count = last - first + 1;
      PangoGlyphStringOwner part(pango_glyph_string_new());
      pango_glyph_string_set_size(part.get(), count);
      std::copy_n(glyphs->glyphs + first, count, part->glyphs);
      std::copy_n(glyphs->log_clusters + first, count, part->log_clusters);
      cairo_move_to(cr, x + firstX, y);
      pango_cairo_show_glyph_string(cr, run->item->analysis.font, part.get());
    }
    runX = glyphX;
  }
}

// The edges of what |cr|'s clip lets through, in its user units, widened by |margin| on every
// side.
struct Visible {
  double left, top, right, bottom;
};
Visible visibleArea(cairo_t* cr, double margin) {
  double left = 0, top = 0, right = 0, bottom = 0;
  cairo_clip_extents(cr, &left, &top, &right, &bottom);
  return {left - margin, top - margin, right + margin, bottom + margin};
}

class PangoText final : public Text {
 public:
  PangoText(std::string_view given, double fontSize) : fontSize_(fontSize) {
    // Pango takes valid UTF-8 only (and complains on standard error otherwise): invalid bytes
    // and NULs become U+FFFD.
    std::string repaired;
    if (!g_utf8_validate(given.data(), static_cast<gssize>(given.size()), nullptr)) {
      GCharOwner valid(g_utf8_make_valid(given.data(), static_cast<gssize>(given.size())));
      repaired = valid.get();
    }
    const std::string_view text = repaired.empty() ? given : std::string_view(repaired);
    size_t at = 0;
    size_t start = 0;
    while (at <= text.size()) {
      const size_t breakLength = at < text.size() ? lineBreakLength(text, at) : 1;
      if (breakLength == 0) {
        ++at;
        continue;
      }
      addLine(text.substr(start, at - start));
      at += breakLength;
      start = at;
    }
    for (const Line& line : lines_) {
      size_.width = std::max(size_.width, line.width);
      size_.height += line.height();
    }
  }

  ~PangoText() override {
    std::lock_guard lock(fonts().mutex());
    lines_.clear();
  }

  Size size() const override { return size_; }

  void drawAt(cairo_t* cr, double x, double y, const Color& color) const override {
    if (!(deviceEm(cr, fontSize_) <= kMaxDeviceEm)) return;
    std::lock_guard lock(fonts().mutex());
    cairo_save(cr);
    cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
    // What can be seen, in the text's own units, widened by an em for glyphs whose ink
    // reaches past their advance.
    const Visible seen = visibleArea(cr, fontSize_);
    double lineTop = y;
    for (const Line& line : lines_) {
      if (lineTop > seen.bottom) break;
      if (lineTop + line.height() >= seen.top) {
        for (const Piece& piece : line.pieces) {
          const double pieceX = x + piece.x;
          if (pieceX > seen.right) break;
          if (pieceX + piece.width < seen.left) continue;
          drawGlyphs(cr, pango_layout_get_line_readonly(piece.layout.get(), 0), pieceX,
                     lineTop + line.ascent, seen.left - pieceX, seen.right - pieceX);
        }
      }
      lineTop += line.height();
    }
    cairo_new_path(cr);
    cairo_restore(cr);
  }

  void drawIn(cairo_t* cr, const Rect& rect, const Color& color) const override {
    if (!(rect.width > 0) || !(rect.height > 0)) return;
    if (!(deviceEm(cr, fontSize_) <= kMaxDeviceEm)) return;
    std::lock_guard lock(fonts().mutex());
    cairo_save(cr);
    cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
    // What can be seen, widened by an em as for drawAt().
    const Visible seen = visibleArea(cr, fontSize_);
    const double rectBottom = rect.y + rect.height;
    const int wrapWidth = static_cast<int>(std::min(rect.width, 1e6) * PANGO_SCALE);
    double lineTop = rect.y;
    bool first = true;
    for (const Line& source : lines_) {
      // A rectangle sized for the measured text may come out a hair narrower by rounding (a
      // width of (w + pad) - pad): a line measured to fit within half a Pango unit is laid out
      // on one line, never wrapped at a width truncated to whole units.
      const bool fitsWidth = source.width <= rect.width + kHalfPangoUnit;
      if (fitsWidth && lineTop + source.height() < seen.top) {
        // A line that needs no wrapping, wholly above what can be seen: only its height counts.
        if (lineTop + source.height() > rectBottom + kHalfPangoUnit && !first) break;
        first = false;
        lineTop += source.height();
        continue;
      }
      // Lines are never taller than an unwrapped one, and each wrapped line holds at most the
      // rectangle's width of text, so the text past this budget can never be drawn.
      const double lineHeight = std::max(source.height(), 1e-9);
      const double linesLeft = std::floor((rectBottom - lineTop) / lineHeight) + 1;
      const std::string_view text = prefixWithin(source, linesLeft * rect.width);
      PangoLayoutOwner layout = fonts().layout(text, fontSize_);
      if (!fitsWidth) {
        pango_layout_set_width(layout.get(), wrapWidth);
        pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
      }
      const PangoLayoutIterOwner lines(pango_layout_get_iter(layout.get()));
      PangoLayoutIter* iter = lines.get();
      bool fits = true;
      do {
        PangoRectangle logical;
        pango_layout_iter_get_line_extents(iter, nullptr, &logical);
        const double bottom = lineTop + fromPango(logical.y + logical.height);
        // Line heights are whole Pango units; sums in doubles may differ from the measured
        // height by rounding, far less than one unit.
        if (bottom > rectBottom + kHalfPangoUnit && !first) {
          fits = false;
          break;
        }
        first = false;
        const double baseline = lineTop + fromPango(pango_layout_iter_get_baseline(iter));
        if (bottom >= seen.top && lineTop + fromPango(logical.y) <= seen.bottom) {
          cairo_move_to(cr, rect.x + fromPango(logical.x), baseline);
          pango_cairo_show_layout_line(cr, pango_layout_iter_get_line_readonly(iter));
        }
      } while (pango_layout_iter_next_line(iter));
      PangoRectangle logical;
      pango_layout_get_extents(layout.get(), nullptr, &logical);
      if (!fits) break;
      lineTop += fromPango(logical.height);
    }
    cairo_new_path(cr);
    cairo_restore(cr);
  }

 private:
  void addLine(std::string_view text) {
    Line& line = lines_.emplace_back();
    line.text = std::string(text);
    size_t begin = 0;
    for (std::string_view part : pieces(line.text)) {
      Piece piece;
      piece.layout = fonts().layout(part, fontSize_);
      piece.begin = begin;
      begin += part.size();
      PangoRectangle logical;
      pango_layout_get_extents(piece.layout.get(), nullptr, &logical);
      const double baseline = fromPango(pango_layout_get_baseline(piece.layout.get()));
      piece.x = line.width;
      piece.width = fromPango(logical.width);
      piece.ascent = baseline - fromPango(logical.y);
      piece.descent = fromPango(logical.y + logical.height) - baseline;
      line.width += piece.width;
      line.ascent = std::max(line.ascent, piece.ascent);
      line.descent = std::max(line.descent, piece.descent);
      line.pieces.push_back(std::move(piece));
    }
  }

  // The start of |line| that holds at least |width| units of text (in whole pieces, one more
  // than needed, so that wrapping at the budget's end sees the word that follows).
  static std::string_view prefixWithin(const Line& line, double width) {
    const std::string_view all = line.text;
    for (size_t i = 0; i < line.pieces.size(); ++i) {
      if (line.pieces[i].x > width && i + 1 < line.pieces.size()) {
        return all.substr(0, line.pieces[i + 1].begin);
      }
    }
    return all;
  }

  double fontSize_;
  std::vector<Line> lines_;
  Size size_;
};

class PangoEngine final : public TextEngine {
 public:
  std::unique_ptr<Text> layOut(std::string_view text, double fontSize) override {
    std::lock_guard lock(fonts().mutex());
    return std::make_unique<PangoText>(text, fontSize);
  }
};

}  // namespace

TextEngine& systemTextEngine() {
  static PangoEngine engine;
  return engine;
}

double deviceEm(cairo_t* cr, double fontSize) {
  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  return fontSize * std::max(std::hypot(m.xx, m.yx), std::hypot(m.xy, m.yy));
}

}  // namespace velmo::draw
