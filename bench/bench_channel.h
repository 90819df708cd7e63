// A stand-in host that drives the plug-in through its channel the way the application does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/encodable_value.h"

namespace velmo::host {
class Engine;
}

namespace velmo::bench {

// An engine with the plug-in registered on its channel, answering calls synchronously.
class ChannelDriver {
 public:
  ChannelDriver();
  ~ChannelDriver();
  ChannelDriver(const ChannelDriver&) = delete;
  ChannelDriver& operator=(const ChannelDriver&) = delete;

  // Sends one call, pumps the main thread until the reply arrives and decodes it. Returns
  // the result map; on an error reply or no reply, sets |error| and returns an empty map.
  host::EncodableMap call(const std::string& method, const host::EncodableMap& arguments,
                          std::string* error);

 private:
  std::unique_ptr<host::Engine> engine_;
};

// Integer entry of a result map (int32 or int64), or -1.
int64_t intEntry(const host::EncodableMap& map, const std::string& key);

}  // namespace velmo::bench
