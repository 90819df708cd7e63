// A named channel that decodes method calls with the standard method codec and hands each
// one, with its MethodResult, to the installed handler on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/binary_messenger.h"
#include "host/method_call.h"
#include "host/method_result.h"

namespace velmo::host {

using MethodCallHandler =
    std::function<void(const MethodCall& call, std::unique_ptr<MethodResult> result)>;
using UndecodableHandler = std::function<void(const std::string& reason)>;

class MethodChannel {
 public:
  // The messenger must outlive the channel's use; the channel itself holds no state beyond
  // its name, so it may be destroyed once its handler is installed.
  MethodChannel(BinaryMessenger& messenger, std::string name);

  const std::string& name() const { return name_; }

  // Undecodable messages get an empty reply, preceded by a call of |onUndecodable| (when
  // given) with the codec's reason; |handler| is not called for them. Nothing is written
  // anywhere else.
  void setMethodCallHandler(MethodCallHandler handler, UndecodableHandler onUndecodable = {});

  // Sends a call to the handler on the other side; |reply| gets the encoded reply.
  void invokeMethod(const MethodCall& call, BinaryReply reply);

 private:
  BinaryMessenger& messenger_;
  std::string name_;
};

}  // namespace velmo::host
