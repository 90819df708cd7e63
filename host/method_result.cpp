#include "host/method_result.h"

#include <iostream>
#include <mutex>

namespace velmo::host {
namespace {

std::mutex reporterMutex;
MethodResult::Reporter& reporter() {
  static MethodResult::Reporter instance = [](const std::string& text) {
    std::cerr << "velmo host: " << text << '\n';
  };
  return instance;
}

void report(const std::string& text) {
  std::lock_guard lock(reporterMutex);
  if (reporter()) reporter()(text);
}

}  // namespace

MethodResult::MethodResult(ReplySink sink) : sink_(std::move(sink)) {}

MethodResult::~MethodResult() {
  if (!replied_) report("a method call was dropped without a reply");
}

MethodResult::Reporter MethodResult::setReporter(Reporter next) {
  std::lock_guard lock(reporterMutex);
  return std::exchange(reporter(), std::move(next));
}

bool MethodResult::claim(const char* what) {
  if (replied_) {
    report(std::string("second reply refused: ") + what);
    return false;
  }
  replied_ = true;
  return true;
}

void MethodResult::success(const EncodableValue& result) {
  if (claim("success")) sink_(encodeSuccessEnvelope(result));
}

void MethodResult::error(const std::string& code, const std::optional<std::string>& message,
                         const EncodableValue& details) {
  if (claim("error")) sink_(encodeErrorEnvelope({code, message, details}));
}

void MethodResult::notImplemented() {
  if (claim("notImplemented")) sink_(Bytes());
}

}  // namespace velmo::host
