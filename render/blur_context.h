// The plug-in's reusable blur engine: made once with the plug-in, used by one render at a
// time on the worker thread, and keeping nothing from one call to the next.
#pragma once

namespace velmo {

class BlurContext {
 public:
  BlurContext() = default;
  BlurContext(const BlurContext&) = delete;
  BlurContext& operator=(const BlurContext&) = delete;
};

}  // namespace velmo
