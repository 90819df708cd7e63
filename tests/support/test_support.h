// Shared helpers for the tests: test data paths, scratch directories, and driving the
// plug-in through the host stand-in exactly as the host would.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/encodable_value.h"
#include "host/engine.h"
#include "host/standard_codec.h"

namespace velmo::testing {

// Path of a file under tests/data.
std::string dataPath(const std::string& relative);

// A fresh directory removed (with its contents) at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Names of the entries in the directory, sorted.
  std::vector<std::string> entries() const;

 private:
  std::filesystem::path path_;
};

// A decoded reply as the caller sees it.
struct Reply {
  enum class Kind { Success, Error, NotImplemented, None } kind = Kind::None;
  host::EncodableValue result;
  host::ErrorEnvelope error;

  bool ok() const { return kind == Kind::Success; }
  const host::EncodableMap& map() const;
  std::string errorMessage() const { return error.message.value_or(""); }
};

// An engine with the plug-in registered on its channel.
class PluginHarness {
 public:
  PluginHarness();
  ~PluginHarness();

  host::Engine& engine() { return *engine_; }

  // Sends one call and pumps the main thread until its reply arrives. |timeout| only keeps a
  // call that never returns from hanging the test: no test measures how long a call takes,
  // so it is far beyond any call's time on a loaded machine.
  Reply call(const std::string& method, const host::EncodableValue& arguments,
             std::chrono::milliseconds timeout = std::chrono::minutes(10));

  // Sends a call without waiting; the reply lands in replies() in arrival order, tagged.
  void send(const std::string& method, const host::EncodableValue& arguments, int tag);
  struct Tagged {
    int tag;
    Reply reply;
  };
  const std::vector<Tagged>& replies() const { return replies_; }
  // Pumps until |count| replies have arrived (|timeout| as for call()).
  bool waitForReplies(size_t count, std::chrono::milliseconds timeout = std::chrono::minutes(10));

 private:
  std::unique_ptr<host::Engine> engine_;
  std::vector<Tagged> replies_;
};

Reply decodeReply(const host::Bytes& bytes);
// The codec bytes of a call of |method| with |arguments|, as a foreign host sends them.
host::Bytes callBytes(const std::string& method, const host::EncodableValue& arguments);

// "ok" for a result, else the error's message: a whole answer in one comparable string.
std::string outcome(const Reply& reply);
// An error reply with |code|, |message| and no details.
void expectError(const Reply& reply, std::string_view code, std::string_view message);

// The arguments of a "render" of |path| into |destination|; a null |recipe| is left out.
host::EncodableMap renderArguments(const std::string& path, const std::string& destination,
                                   host::EncodableValue width, host::EncodableValue height,
                                   host::EncodableValue recipe = {});

// A file result map as "key=value" lines in its own order, integers of either width alike;
// and the lines expected for the file at |path| (its byte size read from the disk unless given).
std::string describe(const host::EncodableMap& map);
std::string fileDescription(const std::string& path, const std::string& mimeType, int64_t width,
                            int64_t height, int64_t byteSize = -1);

// A file's contents as text.
std::string readText(const std::string& path);

// Runs |body| in a forked child and returns its exit status (body's result), or 128 plus the
// signal that ended it. Failures the child records are printed by the child itself.
int runInChild(const std::function<int()>& body);

// A size line of /proc/self/status in bytes ("VmSize", "VmRSS", ...), 0 when absent.
uint64_t processStatusBytes(const std::string& key);

// Convenience for building argument maps: map({{"path", "x"}, {"width", 10}}).
host::EncodableMap map(std::initializer_list<std::pair<const char*, host::EncodableValue>> entries);

// Integer entry of a result map, accepting int32 or int64.
std::optional<int64_t> intEntry(const host::EncodableMap& map, const std::string& key);
std::optional<std::string> stringEntry(const host::EncodableMap& map, const std::string& key);

}  // namespace velmo::testing
