// velmo-image-tools-playground: the playground's web server as a program of its own.
//
// `velmo-image-tools playground ARGS` replaces itself with this program, found beside it, so
// that only the playground loads the HTTP server and the TLS and compression libraries it
// brings; every other subcommand starts without them. The arguments are those of
// `velmo-image-tools playground`, and so are the messages.
#include <algorithm>
#include <cctype>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/playground.h"

namespace {

constexpr int kExitUsage = 2;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

velmo::cli::PlaygroundOptions parseOptions(const std::vector<std::string>& args) {
  velmo::cli::PlaygroundOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i + 1 >= args.size()) throw UsageError("playground: " + args[i] + " needs a value");
    if (args[i] == "--port") {
      const std::string& text = args[++i];
      if (text.empty() || text.size() > 5 ||
          !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }) ||
          std::stoi(text) > 65535) {
        throw UsageError("playground: --port needs a number from 0 to 65535");
      }
      options.port = std::stoi(text);
    } else if (args[i] == "--root") {
      options.root = args[++i];
    } else {
      throw UsageError("playground: unexpected " + args[i]);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return velmo::cli::playground(parseOptions(std::vector<std::string>(argv + 1, argv + argc)));
  } catch (const UsageError& e) {
    std::cerr << "velmo-image-tools: " << e.what() << " (see velmo-image-tools --help)\n";
  }
  return kExitUsage;
}
