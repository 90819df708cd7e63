/* Asks the plug-in for a photo's metadata through the C entry point and prints the reply
 * envelope's bytes in hex:   metadata_static <photo>                                       */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <velmo_image_tools.h>

struct waiter {
  pthread_mutex_t mutex;
  pthread_cond_t done;
  int answered;
  int status;
};

static void on_reply(const uint8_t* reply, size_t length, void* user) {
  struct waiter* w = user;
  for (size_t i = 0; i < length; ++i) printf("%02x", reply[i]);
  printf("\n");
  pthread_mutex_lock(&w->mutex);
  w->status = (length > 0 && reply[0] == 0x00) ? 0 : 1; /* 0x00: a success envelope */
  w->answered = 1;
  pthread_cond_signal(&w->done);
  pthread_mutex_unlock(&w->mutex);
}

/* A string value: tag 7, its size in one byte (paths under 254 bytes here), the bytes. */
static size_t put_string(uint8_t* out, const char* text) {
  const size_t n = strlen(text);
  out[0] = 7;
  out[1] = (uint8_t)n;
  memcpy(out + 2, text, n);
  return n + 2;
}

int main(int argc, char** argv) {
  if (argc != 2 || strlen(argv[1]) > 200) {
    fprintf(stderr, "usage: metadata_static <photo (path under 200 bytes)>\n");
    return 2;
  }
  /* "metadata" with the argument map {"path": <photo>}: tag 13, one entry. */
  uint8_t call[300];
  size_t length = put_string(call, "metadata");
  call[length++] = 13;
  call[length++] = 1;
  length += put_string(call + length, "path");
  length += put_string(call + length, argv[1]);

  struct waiter w = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 1};
  printf("velmo_image_tools %s\n", velmo_image_tools_version());
  velmo_plugin* plugin = velmo_plugin_create();
  if (plugin == NULL || velmo_plugin_handle(plugin, call, length, on_reply, &w) != 0) return 1;
  pthread_mutex_lock(&w.mutex);
  while (!w.answered) pthread_cond_wait(&w.done, &w.mutex);
  pthread_mutex_unlock(&w.mutex);
  velmo_plugin_destroy(plugin);
  return w.status;
}
