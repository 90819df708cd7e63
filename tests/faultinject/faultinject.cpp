// libvelmo_faultinject.so: see faultinject.h. Test-only; loaded with LD_PRELOAD.
//
// Each interposed function forwards to the next definition (the C library's) unless a trace
// is on and this call is the one to fail. Nothing here is on a hot path of the tests, so one
// mutex guards all of the state.
#include "tests/faultinject/faultinject.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

struct Call {
  velmo_faultinject_kind kind;
  std::string path;
};

struct State {
  std::mutex mutex;
  // The trace.
  bool tracing = false;
  pthread_t tracer{};
  long count = 0;
  long failAt = 0;
  int error = 0;
  std::vector<Call> calls;
  // The path each descriptor opened through here was opened with.
  std::unordered_map<int, std::string> paths;
  // The hold.
  std::string holdPath;
  bool holdFromEnvironment = false;
  bool held = false;
  bool released = false;
  std::condition_variable changed;
};

State& state() {
  // Never destroyed: calls go on during and after the exit handlers.
  static State* s = [] {
    auto* made = new State;
    if (const char* hold = std::getenv("VELMO_FAULTINJECT_HOLD")) {
      made->holdPath = hold;
      made->holdFromEnvironment = true;
    }
    return made;
  }();
  return *s;
}

template <typename Function>
Function next(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (!symbol) {
    std::fprintf(stderr, "faultinject: no next definition of %s\n", name);
    std::abort();
  }
  return reinterpret_cast<Function>(symbol);
}

// Counts the call when a trace is on and says whether it is the one to fail (errno set).
bool failHere(velmo_faultinject_kind kind, const char* path, int fd = -1) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.tracing || pthread_equal(pthread_self(), s.tracer)) return false;
  std::string shown;
  if (path) {
    shown = path;
  } else if (auto found = s.paths.find(fd); found != s.paths.end()) {
    shown = found->second;
  } else {
    shown = "fd " + std::to_string(fd);
  }
  s.calls.push_back({kind, std::move(shown)});
  if (++s.count != s.failAt) return false;
  errno = s.error;
  return true;
}

void opened(int fd, const char* path) {
  if (fd < 0) return;
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.paths[fd] = path;
}

void forget(int fd) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.paths.erase(fd);
}

void signalThroughFifo(const std::string& fifo, bool write) {
  static auto realOpen = next<int (*)(const char*, int, ...)>("open");
  const int fd = realOpen(fifo.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "faultinject: cannot open %s: %s\n", fifo.c_str(), std::strerror(errno));
    std::abort();
  }
  char byte = 'h';
  if (write) {
    while (::write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
  } else {
    // To the end: the test closes its end to let the held call go on.
    for (;;) {
      const ssize_t n = ::read(fd, &byte, 1);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
  }
  ::close(fd);
}

// |path| with a leading /proc/self/fd/N replaced by the file that descriptor names, so that
// a file handed over by its descriptor is known by its name.
std::string throughDescriptor(const char* path) {
  constexpr std::string_view kPrefix = "/proc/self/fd/";
  const std::string_view text(path);
  if (!text.starts_with(kPrefix)) return std::string(text);
  const size_t end = text.find('/', kPrefix.size());
  const std::string link(text.substr(0, end));
  char target[4096];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return std::string(text);
  return std::string(target, static_cast<size_t>(n)) +
         std::string(end == std::string_view::npos ? "" : text.substr(end));
}

// Waits here when |path| is the held one (once).
void holdIfAsked(const char* path) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  if (s.holdPath.empty() || s.held) return;
  if (s.holdPath != path && s.holdPath != throughDescriptor(path)) return;
  s.held = true;
  if (s.holdFromEnvironment) {
    lock.unlock();
    const char* fifo = std::getenv("VELMO_FAULTINJECT_HOLD_FIFO");
    if (!fifo) return;
    const int saved = errno;
    signalThroughFifo(std::string(fifo) + ".held", true);
    signalThroughFifo(std::string(fifo) + ".release", false);
    errno = saved;
    return;
  }
  s.changed.notify_all();
  s.changed.wait(lock, [&s] { return s.released; });
}

int openWith(const char* name, const char* path, int flags, mode_t mode) {
  holdIfAsked(path);
  if (failHere(VELMO_FI_OPEN, path)) return -1;
  static auto real = next<int (*)(const char*, int, ...)>(name);
  const int fd = real(path, flags, mode);
  opened(fd, path);
  return fd;
}

int openatWith(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
  holdIfAsked(path);
  if (failHere(VELMO_FI_OPEN, path)) return -1;
  static auto real = next<int (*)(int, const char*, int, ...)>(name);
  const int fd = real(dirfd, path, flags, mode);
  opened(fd, path);
  return fd;
}

mode_t modeOf(int flags, va_list arguments) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, mode_t) : 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void velmo_faultinject_start(long fail_at, int error) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.tracing = true;
  s.tracer = pthread_self();
  s.count = 0;
  s.failAt = fail_at;
  s.error = error;
  s.calls.clear();
}

__attribute__((visibility("default"))) long velmo_faultinject_stop(void) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.tracing = false;
  return s.count;
}

__attribute__((visibility("default"))) int velmo_faultinject_call(long index, char* path,
                                                                  size_t path_size) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (index < 1 || static_cast<size_t>(index) > s.calls.size()) return -1;
  const Call& call = s.calls[static_cast<size_t>(index - 1)];
  if (path && path_size > 0) std::snprintf(path, path_size, "%s", call.path.c_str());
  return call.kind;
}

__attribute__((visibility("default"))) void velmo_faultinject_hold(const char* path) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.holdPath = path;
  s.holdFromEnvironment = false;
  s.held = false;
  s.released = false;
}

__attribute__((visibility("default"))) void velmo_faultinject_wait_held(void) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&s] { return s.held; });
}

__attribute__((visibility("default"))) void velmo_faultinject_release(void) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.released = true;
  s.changed.notify_all();
}

// The interposed calls.

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  return openWith("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  return openWith("open64", path, flags, mode);
}

int __open_2(const char* path, int flags) {
  return openWith("open", path, flags, 0);
}
int __open64_2(const char* path, int flags) {
  return openWith("open64", path, flags, 0);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  return openatWith("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  return openatWith("openat64", dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char* path, int flags) {
  return openatWith("openat", dirfd, path, flags, 0);
}
int __openat64_2(int dirfd, const char* path, int flags) {
  return openatWith("openat64", dirfd, path, flags, 0);
}

ssize_t read(int fd, void* buffer, size_t size) {
  if (failHere(VELMO_FI_READ, nullptr, fd)) return -1;
  static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
  return real(fd, buffer, size);
}

ssize_t __read_chk(int fd, void* buffer, size_t size, size_t) {
  return read(fd, buffer, size);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  if (failHere(VELMO_FI_READ, nullptr, fd)) return -1;
  static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  return real(fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset) {
  if (failHere(VELMO_FI_READ, nullptr, fd)) return -1;
  static auto real = next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64");
  return real(fd, buffer, size, offset);
}

ssize_t __pread_chk(int fd, void* buffer, size_t size, off_t offset, size_t) {
  return pread(fd, buffer, size, offset);
}
ssize_t __pread64_chk(int fd, void* buffer, size_t size, off64_t offset, size_t) {
  return pread64(fd, buffer, size, offset);
}

ssize_t write(int fd, const void* buffer, size_t size) {
  if (failHere(VELMO_FI_WRITE, nullptr, fd)) return -1;
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  return real(fd, buffer, size);
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  if (failHere(VELMO_FI_WRITE, nullptr, fd)) return -1;
  static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return real(fd, buffer, size, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off64_t offset) {
  if (failHere(VELMO_FI_WRITE, nullptr, fd)) return -1;
  static auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  return real(fd, buffer, size, offset);
}

int fsync(int fd) {
  if (failHere(VELMO_FI_FSYNC, nullptr, fd)) return -1;
  static auto real = next<int (*)(int)>("fsync");
  return real(fd);
}

int fdatasync(int fd) {
  if (failHere(VELMO_FI_FSYNC, nullptr, fd)) return -1;
  static auto real = next<int (*)(int)>("fdatasync");
  return real(fd);
}

int rename(const char* from, const char* to) {
  if (failHere(VELMO_FI_RENAME, from)) return -1;
  static auto real = next<int (*)(const char*, const char*)>("rename");
  return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (failHere(VELMO_FI_RENAME, from)) return -1;
  static auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
  return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
  if (failHere(VELMO_FI_RENAME, from)) return -1;
  static auto real = next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  return real(fromDir, from, toDir, to, flags);
}

int stat(const char* path, struct stat* buffer) {
  if (failHere(VELMO_FI_STAT, path)) return -1;
  static auto real = next<int (*)(const char*, struct stat*)>("stat");
  return real(path, buffer);
}

int stat64(const char* path, struct stat64* buffer) {
  if (failHere(VELMO_FI_STAT, path)) return -1;
  static auto real = next<int (*)(const char*, struct stat64*)>("stat64");
  return real(path, buffer);
}

int fstat(int fd, struct stat* buffer) {
  if (failHere(VELMO_FI_STAT, nullptr, fd)) return -1;
  static auto real = next<int (*)(int, struct stat*)>("fstat");
  return real(fd, buffer);
}

int fstat64(int fd, struct stat64* buffer) {
  if (failHere(VELMO_FI_STAT, nullptr, fd)) return -1;
  static auto real = next<int (*)(int, struct stat64*)>("fstat64");
  return real(fd, buffer);
}

// A failing close still releases the descriptor, as Linux's does.
int close(int fd) {
  const bool fails = failHere(VELMO_FI_CLOSE, nullptr, fd);
  const int error = errno;
  forget(fd);
  static auto real = next<int (*)(int)>("close");
  const int result = real(fd);
  if (!fails) return result;
  errno = error;
  return -1;
}

}  // extern "C"
