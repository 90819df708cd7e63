#include "tests/flutter/flutter_double.h"

/* The embedding's own parts: the interface, its functions and the base response handle. */

G_DEFINE_QUARK(fl_binary_messenger_codec_error_quark, fl_binary_messenger_codec_error)

G_DEFINE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, G_TYPE_OBJECT)

static void fl_binary_messenger_default_init(FlBinaryMessengerInterface* iface) {
  (void)iface;
}

void fl_binary_messenger_set_message_handler_on_channel(FlBinaryMessenger* self,
                                                        const gchar* channel,
                                                        FlBinaryMessengerMessageHandler handler,
                                                        gpointer user_data,
                                                        GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  g_return_if_fail(channel != NULL);
  FL_BINARY_MESSENGER_GET_IFACE(self)->set_message_handler_on_channel(self, channel, handler,
                                                                      user_data, destroy_notify);
}

gboolean fl_binary_messenger_send_response(FlBinaryMessenger* self,
                                           FlBinaryMessengerResponseHandle* response_handle,
                                           GBytes* response, GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(self), FALSE);
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_RESPONSE_HANDLE(response_handle), FALSE);
  return FL_BINARY_MESSENGER_GET_IFACE(self)->send_response(self, response_handle, response, error);
}

G_DEFINE_TYPE(FlBinaryMessengerResponseHandle, fl_binary_messenger_response_handle, G_TYPE_OBJECT)

static void fl_binary_messenger_response_handle_class_init(
    FlBinaryMessengerResponseHandleClass* klass) {
  (void)klass;
}

static void fl_binary_messenger_response_handle_init(FlBinaryMessengerResponseHandle* self) {
  (void)self;
}

struct _FlPluginRegistrar {
  GObject parent_instance;
  FlBinaryMessenger* messenger;
};

G_DEFINE_TYPE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

static void fl_plugin_registrar_dispose(GObject* object) {
  g_clear_object(&FL_PLUGIN_REGISTRAR(object)->messenger);
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->dispose(object);
}

static void fl_plugin_registrar_class_init(FlPluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_plugin_registrar_dispose;
}

static void fl_plugin_registrar_init(FlPluginRegistrar* self) {
  (void)self;
}

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), NULL);
  return self->messenger;
}

FlPluginRegistrar* velmo_test_registrar_new(FlBinaryMessenger* messenger) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(g_object_new(fl_plugin_registrar_get_type(), NULL));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  return self;
}

/* The test's response handle: the message's id and whether it has been answered. */

G_DECLARE_FINAL_TYPE(VelmoTestResponseHandle, velmo_test_response_handle, VELMO,
                     TEST_RESPONSE_HANDLE, FlBinaryMessengerResponseHandle)

struct _VelmoTestResponseHandle {
  FlBinaryMessengerResponseHandle parent_instance;
  gint64 id;
  gboolean answered;
};

G_DEFINE_TYPE(VelmoTestResponseHandle, velmo_test_response_handle,
              fl_binary_messenger_response_handle_get_type())

static void velmo_test_response_handle_class_init(VelmoTestResponseHandleClass* klass) {
  (void)klass;
}

static void velmo_test_response_handle_init(VelmoTestResponseHandle* self) {
  (void)self;
}

/* The test's messenger. */

typedef struct {
  FlBinaryMessengerMessageHandler handler;
  gpointer user_data;
  GDestroyNotify destroy_notify;
} Handler;

static void handler_free(gpointer data) {
  Handler* handler = data;
  if (handler->destroy_notify != NULL) handler->destroy_notify(handler->user_data);
  g_free(handler);
}

struct _VelmoTestMessenger {
  GObject parent_instance;
  GHashTable* handlers; /* channel name -> Handler */
  VelmoTestResponseSink sink;
  gpointer sink_data;
  guint handlers_running;
  guint repeated;
};

static void velmo_test_messenger_iface_init(FlBinaryMessengerInterface* iface);

G_DEFINE_TYPE_WITH_CODE(VelmoTestMessenger, velmo_test_messenger, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              velmo_test_messenger_iface_init))

static void set_message_handler_on_channel(FlBinaryMessenger* messenger, const gchar* channel,
                                           FlBinaryMessengerMessageHandler handler,
                                           gpointer user_data, GDestroyNotify destroy_notify) {
  VelmoTestMessenger* self = VELMO_TEST_MESSENGER(messenger);
  if (handler == NULL) {
    g_hash_table_remove(self->handlers, channel);
    return;
  }
  Handler* entry = g_new0(Handler, 1);
  entry->handler = handler;
  entry->user_data = user_data;
  entry->destroy_notify = destroy_notify;
  g_hash_table_replace(self->handlers, g_strdup(channel), entry);
}

static gboolean send_response(FlBinaryMessenger* messenger,
                              FlBinaryMessengerResponseHandle* response_handle, GBytes* response,
                              GError** error) {
  VelmoTestMessenger* self = VELMO_TEST_MESSENGER(messenger);
  VelmoTestResponseHandle* handle = VELMO_TEST_RESPONSE_HANDLE(response_handle);
  if (handle->answered) {
    ++self->repeated;
    g_set_error(error, FL_BINARY_MESSENGER_ERROR, FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                "Attempted to respond to a message that is already responded to");
    return FALSE;
  }
  handle->answered = TRUE;
  self->sink(handle->id, response, self->handlers_running > 0, self->sink_data);
  return TRUE;
}

static void velmo_test_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel = set_message_handler_on_channel;
  iface->send_response = send_response;
}

static void velmo_test_messenger_dispose(GObject* object) {
  VelmoTestMessenger* self = VELMO_TEST_MESSENGER(object);
  g_clear_pointer(&self->handlers, g_hash_table_unref);
  G_OBJECT_CLASS(velmo_test_messenger_parent_class)->dispose(object);
}

static void velmo_test_messenger_class_init(VelmoTestMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = velmo_test_messenger_dispose;
}

static void velmo_test_messenger_init(VelmoTestMessenger* self) {
  self->handlers = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, handler_free);
}

VelmoTestMessenger* velmo_test_messenger_new(VelmoTestResponseSink sink, gpointer user_data) {
  VelmoTestMessenger* self =
      VELMO_TEST_MESSENGER(g_object_new(velmo_test_messenger_get_type(), NULL));
  self->sink = sink;
  self->sink_data = user_data;
  return self;
}

gboolean velmo_test_messenger_deliver(VelmoTestMessenger* self, const gchar* channel,
                                      GBytes* message, gint64 id) {
  Handler* entry = self->handlers != NULL ? g_hash_table_lookup(self->handlers, channel) : NULL;
  if (entry == NULL) return FALSE;
  VelmoTestResponseHandle* handle =
      VELMO_TEST_RESPONSE_HANDLE(g_object_new(velmo_test_response_handle_get_type(), NULL));
  handle->id = id;
  ++self->handlers_running;
  entry->handler(FL_BINARY_MESSENGER(self), channel, message,
                 FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle), entry->user_data);
  --self->handlers_running;
  g_object_unref(handle);
  return TRUE;
}

guint velmo_test_messenger_repeated_responses(VelmoTestMessenger* self) {
  return self->repeated;
}
