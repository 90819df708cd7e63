/* velmo_image_tools: the plug-in behind a plain C interface, for any language that can call C
 * (Dart FFI, Python ctypes, a C or C++ host).
 *
 * The interface is the one a host framework's binary messenger has: a call goes in as the
 * bytes of a method call in the standard method codec (the method name as a string value,
 * then the argument value), and its answer comes back as the bytes of a reply envelope
 * (0x00 + result value, or 0x01 + code + message + details), or as no bytes at all when the
 * method is not implemented. The channel is "velmo/image_tools"; the methods are "metadata",
 * "render" and "tile".
 *
 * Threads. Each instance runs one thread of its own, its reply thread, standing in for a
 * host's main thread; the image work runs on a second thread, the instance's worker.
 * velmo_plugin_handle may be called from any thread, from several at once, and from inside a
 * reply callback. Every reply callback of an instance is called on that instance's reply
 * thread, one at a time, never on the thread that made the call.
 *
 * Order. Calls are taken in the order in which velmo_plugin_handle accepted them (so calls
 * from one thread in that thread's order), run one at a time and answered in that order. A
 * call that is not a method call, or whose argument value is not a map with string keys, is
 * answered as soon as it is taken, and so may be answered before earlier calls still queued.
 *
 * Nothing is thrown across this interface, and the process is never ended by bad input:
 * bytes that are not a method call get the empty (not implemented) reply; an argument value
 * that is not a map with string keys gets the error "PHOTO_ARGUMENTS". The library writes
 * nothing to standard output or standard error.
 *
 * Diagnostics. Beside its reply, a call can tell a developer, in English, why it failed (which
 * check, on what: the key, the value's type, the file, the numbers) and what the reading of
 * its arguments forgave (an unknown shape drawn as freehand, a colour that is not a number,
 * ...). This never goes into the reply, whose bytes stay what the channel's contract says;
 * an instance made with velmo_plugin_create_with_diagnostics hands it to its callback.
 */
#ifndef VELMO_IMAGE_TOOLS_H
#define VELMO_IMAGE_TOOLS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One plug-in instance with its reply thread and worker. */
typedef struct velmo_plugin velmo_plugin;

/* Receives the reply to one call: |length| bytes of a reply envelope, or |length| 0 (and
 * |reply| possibly NULL) for not implemented. The bytes are valid only during the call; copy
 * them to keep them. |user| is the pointer given with the call. The callback must return
 * normally (no C++ exception, no longjmp) and should return soon: the instance's later
 * replies wait for it. */
typedef void (*velmo_reply_callback)(const uint8_t* reply, size_t length, void* user);

/* What one call can tell a developer; valid only during the callback. */
typedef struct velmo_diagnostics {
  /* The method called, as sent; "" when the bytes were not a method call. */
  const char* method;
  /* Why the call failed, "METHOD: reason"; NULL when it did not fail. */
  const char* reason;
  /* What the reading of the arguments forgave and what was done instead, in the order
   * found; |warning_count| strings. */
  const char* const* warnings;
  size_t warning_count;
} velmo_diagnostics;

/* Receives the diagnostics of one call. Same rules as velmo_reply_callback: called on the
 * instance's reply thread, must return normally and soon. */
typedef void (*velmo_diagnostics_callback)(const velmo_diagnostics* diagnostics, void* user);

/* The library's version, "major.minor.patch". The string is static. */
const char* velmo_image_tools_version(void);

/* Makes an instance and starts its threads. NULL when that fails (no memory or threads). */
velmo_plugin* velmo_plugin_create(void);

/* As velmo_plugin_create; in addition |callback| (NULL: none) is called with |user| once for
 * each call that has something to tell (a failure, or a warning), on the reply thread, just
 * before that call's reply callback. Calls with nothing to tell do not call it. Since 0.4. */
velmo_plugin* velmo_plugin_create_with_diagnostics(velmo_diagnostics_callback callback, void* user);

/* The memory the calls of one instance that are accepted and not yet answered may hold. Each
 * counts as its length plus the most its bytes can decode into: 65 times its length, at most
 * 64 MiB (the budget of one decoded message, of at most 1,048,576 values; a message beyond it
 * is answered as bytes that are not a method call). A call beyond this bound is refused; a
 * call with none waiting is always taken. Since 0.4. */
#define VELMO_MAX_QUEUED_BYTES (256u << 20)

/* Hands one call to |plugin|: |length| bytes at |call| (copied before returning; |call| may be
 * NULL when |length| is 0). Returns at once, before the call has run. Returns 0 when the call
 * is accepted: |callback| will then be called exactly once with its reply and |user|. Returns
 * -1 when it is refused (|plugin| or |callback| NULL, no memory to queue it, or the calls
 * already waiting hold VELMO_MAX_QUEUED_BYTES with this one: a later try, once replies have
 * come, may be accepted): |callback| is then never called. Once velmo_plugin_destroy has been
 * called for |plugin|, calls may still be made from its reply callbacks (destroy waits for them
 * too), but from nowhere else. */
int velmo_plugin_handle(velmo_plugin* plugin, const uint8_t* call, size_t length,
                        velmo_reply_callback callback, void* user);

/* Destroys |plugin| (NULL is ignored). Waits until every call accepted before it has been
 * answered, its callback included, then stops the instance's threads and frees it: no
 * callback of this instance is called after velmo_plugin_destroy returns. Must not be called
 * from one of the instance's own reply or diagnostics callbacks (that would wait for itself);
 * doing so ends the process. */
void velmo_plugin_destroy(velmo_plugin* plugin);

#ifdef __cplusplus
}
#endif

#endif /* VELMO_IMAGE_TOOLS_H */
