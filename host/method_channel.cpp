#include "host/method_channel.h"

namespace velmo::host {

MethodChannel::MethodChannel(BinaryMessenger& messenger, std::string name)
    : messenger_(messenger), name_(std::move(name)) {}

void MethodChannel::setMethodCallHandler(MethodCallHandler handler,
                                         UndecodableHandler onUndecodable) {
  if (!handler) {
    messenger_.setMessageHandler(name_, nullptr);
    return;
  }
  messenger_.setMessageHandler(
      name_, [handler = std::move(handler), onUndecodable = std::move(onUndecodable), name = name_](
                 ByteView message, BinaryReply reply) {
        MethodCall call;
        try {
          call = decodeMethodCall(message);
        } catch (const CodecError& e) {
          if (onUndecodable)
            onUndecodable(name + ": the message is not a method call: " + e.what());
          reply(Bytes());
          return;
        }
        handler(call, std::make_unique<MethodResult>(std::move(reply)));
      });
}

void MethodChannel::invokeMethod(const MethodCall& call, BinaryReply reply) {
  messenger_.send(name_, encodeMethodCall(call), std::move(reply));
}

}  // namespace velmo::host
