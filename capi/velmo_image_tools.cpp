#include "capi/velmo_image_tools.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/engine.h"
#include "host/standard_codec.h"
#include "plugin/velmo_image_tools_plugin.h"

using velmo::VelmoImageToolsPlugin;
namespace host = velmo::host;

namespace {

// What the calls accepted and not yet answered may hold at once: their bytes and the most
// those bytes can decode into, since a call waiting behind a slow one keeps its decoded
// arguments.
constexpr size_t kMaxQueuedBytes = VELMO_MAX_QUEUED_BYTES;

size_t queuedCost(size_t length) {
  return length + host::decodedBytesBound(length);
}

}  // namespace

// An engine of the host stand-in, its main thread pumped by the instance's reply thread, with
// the plug-in registered on it.
struct velmo_plugin {
  velmo_plugin() = default;
  velmo_plugin(const velmo_plugin&) = delete;
  velmo_plugin& operator=(const velmo_plugin&) = delete;

  // Lets the engine go, then waits for the plug-in object to be handed over by whichever
  // thread dropped the last hold on it, and destroys it here: its worker is joined on this
  // thread, so no thread of the instance runs on after the destructor.
  ~velmo_plugin() {
    engine.reset();
    if (!pluginMade) return;
    VelmoImageToolsPlugin* plugin = nullptr;
    {
      std::unique_lock lock(mutex);
      released.wait(lock, [this] { return releasedPlugin != nullptr; });
      plugin = releasedPlugin;
    }
    delete plugin;
  }

  // The plug-in's deleter. The last hold may be a work item letting go on the worker thread,
  // where destroying the plug-in would leave its worker to finish detached.
  void handOver(VelmoImageToolsPlugin* plugin) {
    std::lock_guard lock(mutex);
    releasedPlugin = plugin;
    released.notify_one();
  }

  // The reply thread's loop: runs the main thread's tasks (deliveries and replies) until
  // destroy has been asked for and every accepted call is answered.
  void pump() {
    host::TaskRunner& mainThread = engine->mainThread();
    const auto finished = [this] { return closing && answered == accepted.load(); };
    while (!finished()) mainThread.runUntil(finished, std::chrono::hours(1));
  }

  std::unique_ptr<host::Engine> engine;
  std::thread replyThread;
  // Counted before each call is sent, so it is never behind the replies.
  std::atomic<uint64_t> accepted{0};
  // The cost (queuedCost) of the calls accepted and not yet answered.
  std::atomic<size_t> queued{0};
  // Touched only on the reply thread.
  uint64_t answered = 0;
  bool closing = false;

  // Set once the plug-in object exists; from then on its deleter hands it over.
  bool pluginMade = false;
  std::mutex mutex;
  std::condition_variable released;
  VelmoImageToolsPlugin* releasedPlugin = nullptr;
};

extern "C" {

const char* velmo_image_tools_version(void) {
  return VELMO_IMAGE_TOOLS_VERSION;
}

velmo_plugin* velmo_plugin_create(void) {
  return velmo_plugin_create_with_diagnostics(nullptr, nullptr);
}

velmo_plugin* velmo_plugin_create_with_diagnostics(velmo_diagnostics_callback callback,
                                                   void* user) {
  try {
    auto instance = std::make_unique<velmo_plugin>();
    instance->engine = std::make_unique<host::Engine>();
    host::PluginRegistrar& registrar = instance->engine->registrar();
    velmo_plugin* raw = instance.get();
    // Registered by hand rather than with registerWith, to own the plug-in's release.
    velmo::DiagnosticsHandler onDiagnostics;
    if (callback != nullptr) {
      onDiagnostics = [callback, user](const velmo::Diagnostics& diagnostics) {
        std::vector<const char*> warnings;
        warnings.reserve(diagnostics.warnings.size());
        for (const std::string& warning : diagnostics.warnings) warnings.push_back(warning.c_str());
        const velmo_diagnostics view{
            diagnostics.method.c_str(),
            diagnostics.reason.empty() ? nullptr : diagnostics.reason.c_str(), warnings.data(),
            warnings.size()};
        callback(&view, user);
      };
    }
    auto* object = new VelmoImageToolsPlugin(registrar.mainThread(), std::move(onDiagnostics));
    instance->pluginMade = true;
    std::shared_ptr<VelmoImageToolsPlugin> plugin(
        object, [raw](VelmoImageToolsPlugin* p) { raw->handOver(p); });
    host::MethodChannel channel(*instance->engine, velmo::kChannelName);
    registrar.addMethodCallDelegate(std::move(plugin), channel);

    instance->replyThread = std::thread([raw] { raw->pump(); });
    pthread_setname_np(instance->replyThread.native_handle(), "velmo.replies");
    return instance.release();
  } catch (...) {
    return nullptr;
  }
}

int velmo_plugin_handle(velmo_plugin* plugin, const uint8_t* call, size_t length,
                        velmo_reply_callback callback, void* user) {
  if (plugin == nullptr || callback == nullptr || (call == nullptr && length > 0)) return -1;
  // One call alone is always taken; beside others only within the bound.
  const size_t cost = queuedCost(length);
  size_t before = plugin->queued.load();
  do {
    if (before > 0 && (cost > kMaxQueuedBytes || before > kMaxQueuedBytes - cost)) return -1;
  } while (!plugin->queued.compare_exchange_weak(before, before + cost));
  plugin->accepted.fetch_add(1);
  try {
    host::Bytes bytes;
    if (length > 0) bytes.assign(call, call + length);
    plugin->engine->send(velmo::kChannelName, std::move(bytes),
                         [plugin, callback, user, cost](host::Bytes reply) {
                           plugin->queued.fetch_sub(cost);
                           callback(reply.empty() ? nullptr : reply.data(), reply.size(), user);
                           ++plugin->answered;
                         });
    return 0;
  } catch (...) {
    // Nothing was queued: the call will not be answered, so it is not waited for either.
    plugin->queued.fetch_sub(cost);
    plugin->accepted.fetch_sub(1);
    return -1;
  }
}

void velmo_plugin_destroy(velmo_plugin* plugin) {
  if (plugin == nullptr) return;
  // Called from the instance's own reply thread, destroy would wait for itself for ever.
  if (plugin->replyThread.get_id() == std::this_thread::get_id()) std::abort();
  if (plugin->replyThread.joinable()) {
    plugin->engine->mainThread().post([plugin] { plugin->closing = true; });
    plugin->replyThread.join();
  }
  delete plugin;
}

}  // extern "C"
