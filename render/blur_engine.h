// The blur engine of a plug-in: made once with it and handed to each of its renders, one at a
// time, on its worker thread. It holds only fixed tables, nothing from one call to the next.
// The plug-in names it by this type alone, so that it reaches drawing only through render().
#pragma once

#include "draw/blur.h"

namespace velmo::render {

class BlurEngine {
 public:
  BlurEngine() = default;
  BlurEngine(const BlurEngine&) = delete;
  BlurEngine& operator=(const BlurEngine&) = delete;

  const draw::BlurContext& context() const { return context_; }

 private:
  draw::BlurContext context_;
};

}  // namespace velmo::render
