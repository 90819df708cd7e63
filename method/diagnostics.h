// What a call can tell a developer beside its reply, in English: why it failed, and what the
// reading of its arguments forgave. Never sent over the channel (apps match on the replies,
// which stay as they are); the plug-in hands it to its host's diagnostics handler, on the
// main thread, just before the reply.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmo {

struct Diagnostics {
  // The method called, as sent.
  std::string method;
  // Why the call failed, "METHOD: reason"; empty when it did not.
  std::string reason;
  // What was forgiven and what was done instead, "METHOD: ...", in the order found.
  std::vector<std::string> warnings;

  bool empty() const { return reason.empty() && warnings.empty(); }
  void warn(const std::string& text) { warnings.push_back(method + ": " + text); }
};

using DiagnosticsHandler = std::function<void(const Diagnostics&)>;

}  // namespace velmo
