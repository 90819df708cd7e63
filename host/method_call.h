// A method call as the channel delivers it: a method name and one argument value.
#pragma once

#include <string>

#include "host/encodable_value.h"

namespace velmo::host {

struct MethodCall {
  std::string method;
  EncodableValue arguments;  // null when the caller sent none
};

}  // namespace velmo::host
