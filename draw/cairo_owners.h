// Owners for Cairo and Pango handles, in the one owner idiom of platform/owner.h.
#pragma once

#include <cairo.h>
#include <glib-object.h>
#include <pango/pangocairo.h>

#include "platform/owner.h"

namespace velmo::draw {

using CairoSurface = platform::Owner<cairo_surface_t, cairo_surface_destroy>;
using CairoContext = platform::Owner<cairo_t, cairo_destroy>;
using CairoPattern = platform::Owner<cairo_pattern_t, cairo_pattern_destroy>;
using CairoFontOptions = platform::Owner<cairo_font_options_t, cairo_font_options_destroy>;

using PangoFontDescriptionOwner =
    platform::Owner<PangoFontDescription, pango_font_description_free>;
using PangoLayoutIterOwner = platform::Owner<PangoLayoutIter, pango_layout_iter_free>;
// GObjects (PangoLayout, PangoContext, PangoFontMap) are released with g_object_unref.
template <typename T>
using GObjectOwner = platform::Owner<T, g_object_unref>;

}  // namespace velmo::draw
