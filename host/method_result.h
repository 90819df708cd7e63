// The reply to one method call: exactly one of success, error or not-implemented.
//
// A second reply is refused (not sent) and reported; a result dropped without a reply is
// reported too. Reports go to the process-wide reporter, stderr by default, so that tests can
// catch them.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "host/encodable_value.h"
#include "host/standard_codec.h"

namespace velmo::host {

class MethodResult {
 public:
  // Receives the encoded reply envelope, or empty bytes for not-implemented.
  using ReplySink = std::function<void(Bytes)>;

  explicit MethodResult(ReplySink sink);
  ~MethodResult();
  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  void success(const EncodableValue& result = EncodableValue());
  void error(const std::string& code, const std::optional<std::string>& message,
             const EncodableValue& details = EncodableValue());
  void notImplemented();

  bool replied() const { return replied_; }

  // Where misuse is reported. Returns the previous reporter.
  using Reporter = std::function<void(const std::string&)>;
  static Reporter setReporter(Reporter reporter);

 private:
  bool claim(const char* what);

  ReplySink sink_;
  bool replied_ = false;
};

}  // namespace velmo::host
