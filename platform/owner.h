// The one owner idiom for handles of C libraries: a std::unique_ptr whose deleter calls the
// library's own release function, so that every handle is released on every path,
// exceptions included. An empty owner releases nothing. Owners adopt the handle they are
// given (the library reference is stolen, never shared), are move-only, and live on one
// thread at a time.
//
//   using CairoSurface = Owner<cairo_surface_t, cairo_surface_destroy>;
#pragma once

#include <cstdlib>
#include <memory>

namespace velmo::platform {

// A deleter calling |Release| on a non-null handle.
template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T* handle) const {
    if (handle != nullptr) Release(handle);
  }
};

template <typename Handle, auto Release>
using Owner = std::unique_ptr<Handle, ReleaseWith<Release>>;

// Memory that a C library allocated with malloc and hands over.
using MallocBuffer = Owner<unsigned char, std::free>;

}  // namespace velmo::platform
