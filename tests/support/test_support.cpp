#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "host/method_channel.h"
#include "plugin/velmo_image_tools_plugin.h"

namespace velmo::testing {

std::string dataPath(const std::string& relative) {
  return std::string(VELMO_TEST_DATA_DIR) + "/" + relative;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmo-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

const host::EncodableMap& Reply::map() const {
  static const host::EncodableMap empty;
  const auto* m = std::get_if<host::EncodableMap>(&result);
  return m ? *m : empty;
}

host::Bytes callBytes(const std::string& method, const host::EncodableValue& arguments) {
  return host::encodeMethodCall({method, arguments});
}

Reply decodeReply(const host::Bytes& bytes) {
  Reply reply;
  if (bytes.empty()) {
    reply.kind = Reply::Kind::NotImplemented;
    return reply;
  }
  auto envelope = host::decodeEnvelope(bytes);
  if (auto* value = std::get_if<host::EncodableValue>(&envelope)) {
    reply.kind = Reply::Kind::Success;
    reply.result = *value;
  } else {
    reply.kind = Reply::Kind::Error;
    reply.error = std::get<host::ErrorEnvelope>(envelope);
  }
  return reply;
}

std::string outcome(const Reply& reply) {
  return reply.ok() ? "ok" : reply.errorMessage();
}

void expectError(const Reply& reply, std::string_view code, std::string_view message) {
  ASSERT_EQ(reply.kind, Reply::Kind::Error) << "expected " << message;
  EXPECT_EQ(reply.error.code, code);
  EXPECT_EQ(reply.errorMessage(), message);
  EXPECT_TRUE(reply.error.details.isNull());
}

host::EncodableMap renderArguments(const std::string& path, const std::string& destination,
                                   host::EncodableValue width, host::EncodableValue height,
                                   host::EncodableValue recipe) {
  host::EncodableMap arguments =
      map({{"path", path}, {"destination", destination}, {"width", width}, {"height", height}});
  if (!recipe.isNull()) arguments.emplace_back("recipe", std::move(recipe));
  return arguments;
}

std::string describe(const host::EncodableMap& map) {
  std::string out;
  for (const auto& [key, value] : map) {
    const std::string name = std::get<std::string>(key);
    const auto n = intEntry(map, name);
    out += name + "=" + (n ? std::to_string(*n) : stringEntry(map, name).value_or("")) + "\n";
  }
  return out;
}

std::string fileDescription(const std::string& path, const std::string& mimeType, int64_t width,
                            int64_t height, int64_t byteSize) {
  std::error_code error;
  if (byteSize < 0) byteSize = static_cast<int64_t>(std::filesystem::file_size(path, error));
  return "path=" + path + "\nfilename=" + std::filesystem::path(path).filename().string() +
         "\nmimeType=" + mimeType + "\nwidth=" + std::to_string(width) +
         "\nheight=" + std::to_string(height) + "\nbyteSize=" + std::to_string(byteSize) + "\n";
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

int runInChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int status = body();
    std::fflush(nullptr);  // _exit does not flush what the child printed
    ::_exit(status);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

PluginHarness::PluginHarness() : engine_(std::make_unique<host::Engine>()) {
  VelmoImageToolsPlugin::registerWith(engine_->registrar());
}

PluginHarness::~PluginHarness() {
  // Let queued calls finish and their replies land before the engine goes.
  engine_->removeAllHandlers();
  engine_.reset();
}

Reply PluginHarness::call(const std::string& method, const host::EncodableValue& arguments,
                          std::chrono::milliseconds timeout) {
  std::optional<host::Bytes> answer;
  host::MethodChannel channel(*engine_, kChannelName);
  channel.invokeMethod({method, arguments}, [&answer](host::Bytes bytes) { answer = bytes; });
  engine_->mainThread().runUntil([&] { return answer.has_value(); }, timeout);
  if (!answer) return Reply{};
  return decodeReply(*answer);
}

void PluginHarness::send(const std::string& method, const host::EncodableValue& arguments,
                         int tag) {
  host::MethodChannel channel(*engine_, kChannelName);
  channel.invokeMethod({method, arguments}, [this, tag](host::Bytes bytes) {
    replies_.push_back({tag, decodeReply(bytes)});
  });
}

bool PluginHarness::waitForReplies(size_t count, std::chrono::milliseconds timeout) {
  return engine_->mainThread().runUntil([&] { return replies_.size() >= count; }, timeout);
}

host::EncodableMap map(
    std::initializer_list<std::pair<const char*, host::EncodableValue>> entries) {
  host::EncodableMap result;
  for (const auto& [key, value] : entries) result.emplace_back(std::string(key), value);
  return result;
}

std::optional<int64_t> intEntry(const host::EncodableMap& map, const std::string& key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  if (const auto* i = std::get_if<int32_t>(value)) return *i;
  if (const auto* l = std::get_if<int64_t>(value)) return *l;
  return std::nullopt;
}

std::optional<std::string> stringEntry(const host::EncodableMap& map, const std::string& key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(value)) return *s;
  return std::nullopt;
}

uint64_t processStatusBytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  const std::string wanted = key + ":";
  std::string word;
  while (status >> word) {
    if (word == wanted) {
      uint64_t kib = 0;
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

}  // namespace velmo::testing
