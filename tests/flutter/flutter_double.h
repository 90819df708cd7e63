/* A test double of the few entry points of the Flutter Linux embedding that a byte-level
 * plug-in uses, built on the embedding's public headers: the FlBinaryMessenger interface and
 * its functions, response handles, and the plug-in registrar. In an app these come from
 * libflutter_linux_gtk.so; here a test stands in for the engine, delivering messages on a
 * channel and collecting the responses. */
#ifndef VELMO_TESTS_FLUTTER_DOUBLE_H
#define VELMO_TESTS_FLUTTER_DOUBLE_H

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

/* Receives every response the plug-in sends: the message's id, the bytes, and whether it was
 * sent while a message handler of this messenger was running. */
typedef void (*VelmoTestResponseSink)(gint64 id, GBytes* response, gboolean during_handler,
                                      gpointer user_data);

G_DECLARE_FINAL_TYPE(VelmoTestMessenger, velmo_test_messenger, VELMO, TEST_MESSENGER, GObject)

/* A messenger implementing FlBinaryMessenger. Disposing it drops its handlers, calling their
 * destroy notifies. */
VelmoTestMessenger* velmo_test_messenger_new(VelmoTestResponseSink sink, gpointer user_data);

/* Calls the handler set on |channel| with |message| and a new response handle tagged |id|,
 * as the engine does for a message from Dart. FALSE when no handler is set there (the engine
 * would answer with an empty response itself). */
gboolean velmo_test_messenger_deliver(VelmoTestMessenger* self, const gchar* channel,
                                      GBytes* message, gint64 id);

/* Responses refused because their handle had been answered already. */
guint velmo_test_messenger_repeated_responses(VelmoTestMessenger* self);

/* A registrar whose messenger is |messenger|, as the app's registry hands out. */
FlPluginRegistrar* velmo_test_registrar_new(FlBinaryMessenger* messenger);

G_END_DECLS

#endif /* VELMO_TESTS_FLUTTER_DOUBLE_H */
