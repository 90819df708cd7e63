// The plug-in on the Flutter Linux embedding. The channel "velmo/image_tools" is answered at
// the level of bytes: a message from Dart is already a method call in the standard method
// codec, which the core (the C entry point, capi/velmo_image_tools.h) reads as it is, and the
// core's reply is already a reply envelope in that codec (or no bytes for not implemented),
// which goes back as it is. Nothing is decoded here.
//
// Threads. The message handler runs on the app's main thread, hands the bytes to the core and
// returns at once. The core answers on a thread of its own; the answer is put in a mailbox and
// sent from an idle source on the main thread's GLib main context, exactly once per message
// and in the order the core answered. The main thread waits for the core only when the
// channel's handler goes away (the app shutting down or the handler replaced): the core is
// destroyed then, which waits for every call it accepted, and the answers still in the
// mailbox are sent before the handler's release returns. Nothing is sent after that.
#define G_LOG_DOMAIN "velmo_image_tools"

#include "include/velmo_image_tools/velmo_image_tools_plugin.h"

#include <stdarg.h>
#include <stdint.h>

#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "capi/velmo_image_tools.h"

namespace {

constexpr char kChannel[] = "velmo/image_tools";

// Every diagnostic of the plug-in goes through here, in English, to the GLib log under the
// domain "velmo_image_tools" (G_MESSAGES_DEBUG=velmo_image_tools shows the debug level), and
// never over the channel, whose answers stay exactly the core's: the glue's own (an instance
// that could not start, a call the core refused, an answer the messenger would not take) and
// the core's account of each call (why it failed, at the debug level; what the reading of its
// arguments forgave, as a warning).
void report(GLogLevelFlags level, const gchar* format, ...) G_GNUC_PRINTF(2, 3);
void report(GLogLevelFlags level, const gchar* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  g_logv(G_LOG_DOMAIN, level, format, arguments);
  va_end(arguments);
}

// The core's account of one call, on the core's reply thread just before the call's answer is
// put in the mailbox; GLib's log is safe from any thread.
void told(const velmo_diagnostics* diagnostics, void*) {
  if (diagnostics->reason != nullptr) report(G_LOG_LEVEL_DEBUG, "%s", diagnostics->reason);
  for (size_t i = 0; i < diagnostics->warning_count; ++i) {
    report(G_LOG_LEVEL_WARNING, "%s", diagnostics->warnings[i]);
  }
}

// One answer waiting for the main thread: the message's response handle and the reply bytes,
// a reference to each.
struct Answer {
  FlBinaryMessengerResponseHandle* handle;
  GBytes* reply;
};

// Sends |answer| on the main thread and lets go of it.
void send(FlBinaryMessenger* messenger, const Answer& answer) {
  GError* error = nullptr;
  if (!fl_binary_messenger_send_response(messenger, answer.handle, answer.reply, &error)) {
    report(G_LOG_LEVEL_DEBUG, "an answer was not taken by the messenger: %s",
           error != nullptr ? error->message : "no reason given");
    g_clear_error(&error);
  }
  g_object_unref(answer.handle);
  g_bytes_unref(answer.reply);
}

// Where the core's reply thread leaves answers for the main thread. Shared by the channel's
// handler and the idle source that carries the answers over.
struct Mailbox {
  Mailbox(GMainContext* mainContext, FlBinaryMessenger* channelMessenger)
      : context(mainContext), messenger(channelMessenger) {}
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;
  ~Mailbox() {
    for (const Answer& answer : answers) {
      g_object_unref(answer.handle);
      g_bytes_unref(answer.reply);
    }
    g_main_context_unref(context);
  }

  // Takes the answers waiting and the source that was to carry them.
  std::deque<Answer> takeAnswers(GSource** source) {
    std::lock_guard<std::mutex> lock(mutex);
    *source = std::exchange(pending, nullptr);
    return std::exchange(answers, {});
  }

  std::mutex mutex;
  std::deque<Answer> answers;
  // The idle source that will send |answers|, or null when none is attached (a reference).
  GSource* pending = nullptr;
  // Set once the core is gone and its last answers taken; no source is attached after it.
  bool closed = false;

  GMainContext* const context;  // the main thread's, a reference
  // Not a reference: the messenger owns the channel's handler, and the handler's release
  // destroys any source still attached, so the messenger is alive whenever one runs.
  FlBinaryMessenger* const messenger;
};

// Sends the answers waiting, on the main thread.
gboolean deliver(gpointer data) {
  Mailbox& mailbox = **static_cast<std::shared_ptr<Mailbox>*>(data);
  GSource* self = nullptr;
  const std::deque<Answer> answers = mailbox.takeAnswers(&self);
  for (const Answer& answer : answers) send(mailbox.messenger, answer);
  if (self != nullptr) g_source_unref(self);
  return G_SOURCE_REMOVE;
}

void releaseMailboxReference(gpointer data) {
  delete static_cast<std::shared_ptr<Mailbox>*>(data);
}

// One message handed to the core.
struct Call {
  std::shared_ptr<Mailbox> mailbox;
  FlBinaryMessengerResponseHandle* handle;  // a reference
};

// The core's answer to one call, on the core's reply thread: copied into the mailbox, with an
// idle source attached to the main context to send it unless one is attached already.
void onReply(const uint8_t* reply, size_t length, void* user) noexcept {
  std::unique_ptr<Call> call(static_cast<Call*>(user));
  Mailbox& mailbox = *call->mailbox;
  GBytes* bytes = g_bytes_new(reply, length);
  std::lock_guard<std::mutex> lock(mailbox.mutex);
  mailbox.answers.push_back({call->handle, bytes});
  if (mailbox.pending == nullptr && !mailbox.closed) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_name(source, "velmo_image_tools answers");
    g_source_set_callback(source, deliver, new std::shared_ptr<Mailbox>(call->mailbox),
                          releaseMailboxReference);
    g_source_attach(source, mailbox.context);
    mailbox.pending = source;
  }
}

// What the channel's handler holds: the core instance and the mailbox.
struct Plugin {
  velmo_plugin* core;
  std::shared_ptr<Mailbox> mailbox;
};

void handleMessage(FlBinaryMessenger* messenger, const gchar* /*channel*/, GBytes* message,
                   FlBinaryMessengerResponseHandle* responseHandle, gpointer data) {
  Plugin& plugin = *static_cast<Plugin*>(data);
  gsize length = 0;
  const auto* bytes = message != nullptr
                          ? static_cast<const uint8_t*>(g_bytes_get_data(message, &length))
                          : nullptr;
  auto* call =
      new Call{plugin.mailbox, FL_BINARY_MESSENGER_RESPONSE_HANDLE(g_object_ref(responseHandle))};
  if (velmo_plugin_handle(plugin.core, bytes, length, onReply, call) != 0) {
    // When the core has no memory to queue it, or the calls already waiting hold its bound
    // (VELMO_MAX_QUEUED_BYTES); the message still gets its one answer.
    report(G_LOG_LEVEL_WARNING, "a call on \"%s\" could not be queued; answered as not implemented",
           kChannel);
    send(messenger, {call->handle, g_bytes_new(nullptr, 0)});
    delete call;
  }
}

// The handler's destroy notify, on the main thread: destroys the core, which returns once
// every accepted call has been answered into the mailbox, and sends those answers.
void releasePlugin(gpointer data) {
  std::unique_ptr<Plugin> plugin(static_cast<Plugin*>(data));
  velmo_plugin_destroy(plugin->core);
  Mailbox& mailbox = *plugin->mailbox;
  {
    std::lock_guard<std::mutex> lock(mailbox.mutex);
    mailbox.closed = true;
  }
  GSource* pending = nullptr;
  const std::deque<Answer> answers = mailbox.takeAnswers(&pending);
  if (pending != nullptr) {
    g_source_destroy(pending);
    g_source_unref(pending);
  }
  for (const Answer& answer : answers) send(mailbox.messenger, answer);
}

}  // namespace

void velmo_image_tools_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  FlBinaryMessenger* messenger = fl_plugin_registrar_get_messenger(registrar);
  velmo_plugin* core = velmo_plugin_create_with_diagnostics(told, nullptr);
  if (core == nullptr) {
    report(G_LOG_LEVEL_WARNING, "could not start (no memory or threads); \"%s\" stays unanswered",
           kChannel);
    return;
  }
  auto* plugin =
      new Plugin{core, std::make_shared<Mailbox>(g_main_context_ref_thread_default(), messenger)};
  fl_binary_messenger_set_message_handler_on_channel(messenger, kChannel, handleMessage, plugin,
                                                     releasePlugin);
  report(G_LOG_LEVEL_DEBUG, "answering \"%s\" (core %s)", kChannel, velmo_image_tools_version());
}
