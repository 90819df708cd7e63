// velmo-image-tools: the image-tools plug-in on the command line, driven over its channel
// exactly as the host drives it.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/json_values.h"
#include "cli/method_help.h"
#include "cli/serve.h"
#include "host/engine.h"
#include "host/standard_codec.h"
#include "plugin/velmo_image_tools_plugin.h"

namespace velmo::cli {
namespace {

constexpr const char* kUsage = R"(usage:
  velmo-image-tools call METHOD [ARGS]
      Sends one call on the "velmo/image_tools" channel and prints the reply as one line of
      JSON: {"result": ...}, {"error": {"code": ..., "message": ..., "details": ...}} or
      {"notImplemented": true}. ARGS is JSON text, @FILE naming a file of JSON, or @- for
      JSON on standard input; without it the call carries null. Integers that fit in 32
      bits travel as int32, other integers as int64, other numbers as float64; objects
      become maps with string keys. In the reply a map with a key that is not a string
      prints as an array of [key, value] pairs, and a NaN or infinite float as null. After the reply, standard error carries what the call
      tells a developer in English: "warning: ..." for each thing the reading of the
      arguments forgave, and "why: ..." for the reason of a failure. A method name the
      plug-in does not serve gets the not-implemented reply, and standard error names the
      nearest of "metadata", "render" and "tile".
      Exit status: 0 result, 1 error reply, 3 not implemented, 2 usage problem.

  velmo-image-tools call METHOD --help
      The arguments METHOD reads, with their types, defaults and ranges (docs/channel.md
      has the whole reference).

  velmo-image-tools serve
      Pipe host. Reads frames from standard input (4-byte little-endian payload length,
      4-byte little-endian call id, payload = a method call in the standard method codec)
      and writes one frame per call to standard output with the same id, holding the reply
      envelope, or an empty payload for not-implemented. What a call tells a developer
      ("why: ...", "warning: ...") goes to standard error, each line naming the call's id.
      Exits 0 once input has ended and every call is answered; 2 after a broken frame.

  velmo-image-tools codec encode|decode [--hex] [--method-call | --envelope]
      Converts typed JSON on standard input to codec bytes on standard output (encode), or
      back (decode). Typed JSON: {"null":null} {"bool":b} {"int32":n} {"int64":n}
      {"float64":x} (x may be "NaN", "Infinity", "-Infinity") {"string":s}
      {"uint8list":[...]} {"int32list":[...]} {"int64list":[...]} {"float32list":[...]}
      {"float64list":[...]} {"list":[typed, ...]} {"map":[[typedKey, typedValue], ...]}.
      --method-call: {"method": name, "args": typed}.
      --envelope: {"result": typed}, {"error": {"code": c, "message": m or null,
      "details": typed}}, or {"notImplemented": true} for the empty reply.
      --hex: bytes as hexadecimal text (whitespace ignored on input) instead of binary.

  velmo-image-tools playground [--port N] [--root DIR]
      Serves a page for trying "metadata", "render" and "tile" calls in a browser, on
      127.0.0.1 only, and prints the address to open. Photos come from DIR (default: the
      repository's examples folder) or are uploaded into a private temporary folder; outputs
      go to another one. Every call goes through the channel to the plug-in, exactly as
      `call` sends it. --port 0 (the default) picks a free port. Ctrl-C stops it. The server
      is the program velmo-image-tools-playground beside this one; exits 2 when it is missing
      or the folder or port cannot be used.

  velmo-image-tools --help | --version
)";

constexpr int kExitResult = 0;
constexpr int kExitErrorReply = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotImplemented = 3;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string readStream(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read " + path);
  std::string text = readStream(in);
  if (in.bad()) throw UsageError("cannot read " + path);
  return text;
}

// ---- call ----------------------------------------------------------------------------------

// The JSON text of a call's ARGS: the text itself, @FILE's contents, or standard input for @-.
std::string argumentText(const std::string& text) {
  if (text == "@-") {
    std::string input = readStream(std::cin);
    if (std::cin.bad()) throw UsageError("cannot read standard input");
    return input;
  }
  return text.starts_with('@') ? readFile(text.substr(1)) : text;
}

// `call METHOD --help`: the arguments of one of the channel's methods.
int printMethodHelp(const std::string& name) {
  const MethodHelp* method = findMethod(name);
  if (method == nullptr) {
    const auto nearest = nearestMethod(name);
    throw UsageError("no method \"" + name + "\" on the channel" +
                     (nearest ? "; did you mean \"" + std::string(*nearest) + "\"?"
                              : " (it serves \"metadata\", \"render\" and \"tile\")"));
  }
  std::cout << method->text << "Every key, default and error message: docs/channel.md\n";
  return 0;
}

// After the not-implemented reply to |name|: the method that was probably meant.
void suggestMethod(const std::string& name) {
  const auto nearest = nearestMethod(name);
  std::cerr << "velmo-image-tools: the plug-in serves no method \"" << name << "\"";
  if (nearest) {
    std::cerr << "; did you mean \"" << *nearest << "\"?\n";
  } else {
    std::cerr << " (it serves \"metadata\", \"render\" and \"tile\")\n";
  }
}

// Sends |call| through a fresh engine with the plug-in registered, pumping the main thread
// until the reply arrives. Returns the encoded reply (empty for not-implemented); what the
// call told beside it goes to |told|.
host::Bytes roundTrip(const host::MethodCall& call, Diagnostics& told) {
  host::Engine engine;
  VelmoImageToolsPlugin::registerWith(
      engine.registrar(), [&told](const Diagnostics& diagnostics) { told = diagnostics; });
  std::optional<host::Bytes> reply;
  engine.send(kChannelName, host::encodeMethodCall(call),
              [&reply](host::Bytes bytes) { reply = std::move(bytes); });
  // The plug-in answers every call exactly once; the long wait only covers slow renders.
  while (!reply) {
    engine.mainThread().runUntil([&reply] { return reply.has_value(); }, std::chrono::hours(1));
  }
  return std::move(*reply);
}

int runCall(const std::vector<std::string>& args) {
  if (args.size() < 2) throw UsageError("call needs a METHOD");
  if (args.size() > 3) throw UsageError("call takes METHOD and at most one ARGS");
  host::MethodCall call{args[1], host::EncodableValue()};
  if (args.size() == 3) {
    const std::string& text = args[2];
    call.arguments = fromPlainJson(parseJson(argumentText(text)));
  }

  Diagnostics told;
  const host::Bytes reply = roundTrip(call, told);
  const Json out = envelopeToJson(reply, JsonForm::Plain);
  const int status = out.contains("result")  ? kExitResult
                     : out.contains("error") ? kExitErrorReply
                                             : kExitNotImplemented;
  std::cout << dumpJson(out) << '\n' << std::flush;
  // For the developer, after the reply: why it failed, and what the reading forgave.
  for (const std::string& warning : told.warnings) std::cerr << "warning: " << warning << '\n';
  if (!told.reason.empty()) std::cerr << "why: " << told.reason << '\n';
  return status;
}

// ---- codec ---------------------------------------------------------------------------------

host::Bytes fromHex(const std::string& text) {
  host::Bytes bytes;
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) continue;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      throw UsageError("not a hex digit at offset " + std::to_string(i) + " of the input");
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) throw UsageError("odd number of hex digits");
  return bytes;
}

std::string toHex(const host::Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xf]);
  }
  return text;
}

enum class Shape { Message, MethodCall, Envelope };

int runCodec(const std::vector<std::string>& args) {
  if (args.size() < 2 || (args[1] != "encode" && args[1] != "decode")) {
    throw UsageError("codec needs encode or decode");
  }
  const bool encode = args[1] == "encode";
  bool hex = false;
  Shape shape = Shape::Message;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--hex") {
      hex = true;
    } else if ((args[i] == "--method-call" || args[i] == "--envelope") && shape == Shape::Message) {
      shape = args[i] == "--envelope" ? Shape::Envelope : Shape::MethodCall;
    } else {
      throw UsageError("codec: unexpected " + args[i]);
    }
  }

  const std::string input = readStream(std::cin);
  if (encode) {
    const Json json = parseJson(input);
    host::Bytes bytes;
    switch (shape) {
      case Shape::Message:
        bytes = host::encodeMessage(fromTypedJson(json));
        break;
      case Shape::MethodCall:
        bytes = host::encodeMethodCall(methodCallFromJson(json));
        break;
      case Shape::Envelope:
        bytes = envelopeFromJson(json);
        break;
    }
    if (hex) {
      std::cout << toHex(bytes) << '\n';
    } else {
      std::cout.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
    }
    std::cout << std::flush;
    return 0;
  }

  const host::Bytes bytes = hex ? fromHex(input) : host::Bytes(input.begin(), input.end());
  Json json;
  switch (shape) {
    case Shape::Message:
      json = toTypedJson(host::decodeMessage(bytes));
      break;
    case Shape::MethodCall:
      json = methodCallToJson(host::decodeMethodCall(bytes));
      break;
    case Shape::Envelope:
      json = envelopeToJson(bytes);
      break;
  }
  std::cout << dumpJson(json) << '\n' << std::flush;
  return 0;
}

// ---- playground ----------------------------------------------------------------------------

// The web server is its own program, so that only the playground loads cpp-httplib and the
// TLS and compression libraries behind it; every other subcommand starts without them. It is
// looked for beside this program (the build folder, or wherever both are installed) and
// replaces this process: same process id, streams and signals, so Ctrl-C or a SIGTERM reaches
// the server itself. It parses the arguments.
int runPlayground(const std::vector<std::string>& args) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    std::cerr << "velmo-image-tools: cannot find the playground server: /proc/self/exe: "
              << error.message() << '\n';
    return kExitUsage;
  }
  std::vector<std::string> serverArgs = args;
  serverArgs[0] = (self.parent_path() / VELMO_PLAYGROUND_PROGRAM).string();
  std::vector<char*> argv;
  for (std::string& arg : serverArgs) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::cout.flush();
  execv(argv[0], argv.data());
  const int reason = errno;
  std::cerr << "velmo-image-tools: cannot start the playground server " << serverArgs[0] << ": "
            << std::strerror(reason) << " (it is built as " VELMO_PLAYGROUND_PROGRAM
            << " and must sit beside velmo-image-tools)\n";
  return kExitUsage;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cout << kUsage;
    return kExitUsage;
  }
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command == "--version") {
    std::cout << "velmo-image-tools " VELMO_IMAGE_TOOLS_VERSION "\n";
    return 0;
  }
  if (command == "call") {
    if (args.size() == 3 && args[2] == "--help") return printMethodHelp(args[1]);
    const int status = runCall(args);
    // The reply stands as the contract has it (not-implemented, or the refusal of arguments
    // that are not a map, whatever the name); the hint comes after it.
    if (findMethod(args[1]) == nullptr) suggestMethod(args[1]);
    return status;
  }
  if (command == "codec") return runCodec(args);
  if (command == "serve") {
    if (args.size() != 1) throw UsageError("serve takes no arguments");
    return serve(0, 1);
  }
  if (command == "playground") return runPlayground(args);
  throw UsageError("unknown subcommand \"" + command + "\"");
}

}  // namespace
}  // namespace velmo::cli

int main(int argc, char** argv) {
  using namespace velmo;
  try {
    return cli::run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const cli::UsageError& e) {
    std::cerr << "velmo-image-tools: " << e.what() << " (see velmo-image-tools --help)\n";
  } catch (const cli::JsonInputError& e) {
    std::cerr << "velmo-image-tools: " << e.what() << '\n';
  } catch (const host::CodecError& e) {
    std::cerr << "velmo-image-tools: undecodable bytes: " << e.what() << '\n';
  }
  return cli::kExitUsage;
}
