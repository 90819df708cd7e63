#include "cli/serve.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "capi/velmo_image_tools.h"
#include "platform/owner.h"

namespace velmo::cli {
namespace {

using namespace std::string_literals;

constexpr size_t kHeaderSize = 8;

uint32_t readLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void writeLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Reads until |size| bytes or end of input; returns how many arrived. Throws on a read error.
size_t readFully(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "read standard input");
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

// One frame, written whole with unbuffered writes, so a reader sees it as soon as it is
// answered. A reader that has gone away leaves nobody to serve: the process ends.
void writeFrame(int fd, uint32_t id, const uint8_t* payload, size_t size) {
  uint8_t header[kHeaderSize];
  writeLe32(header, static_cast<uint32_t>(size));
  writeLe32(header + 4, id);
  iovec parts[2] = {{header, kHeaderSize}, {const_cast<uint8_t*>(payload), size}};
  size_t total = kHeaderSize + size;
  int first = 0;
  while (total > 0) {
    const ssize_t n = ::writev(fd, parts + first, 2 - first);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::cerr << "velmo-image-tools serve: write standard output: " << std::strerror(errno)
                << '\n';
      std::_Exit(2);
    }
    size_t written = static_cast<size_t>(n);
    total -= written;
    while (first < 2 && written >= parts[first].iov_len) {
      written -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + written;
      parts[first].iov_len -= written;
    }
  }
}

// The diagnostics of the call about to be answered: the instance tells them just before that
// call's reply, on its reply thread, which is the only thread that touches them.
struct Told {
  std::string lines;
};

// The calls handed to the plug-in and not yet answered. When the plug-in takes no more (its
// bound on what waiting calls hold), reading stops until one of them is answered.
struct InFlight {
  std::mutex mutex;
  std::condition_variable answered;
  uint64_t pending = 0;
  uint64_t replies = 0;
};

// Where one call's reply frame goes.
struct PendingReply {
  int fd;
  uint32_t id;
  Told* told;
  InFlight* inFlight;
};

void keepDiagnostics(const velmo_diagnostics* diagnostics, void* user) {
  std::string& lines = static_cast<Told*>(user)->lines;
  if (diagnostics->reason != nullptr) lines += "why: "s + diagnostics->reason + '\n';
  for (size_t i = 0; i < diagnostics->warning_count; ++i) {
    lines += "warning: "s + diagnostics->warnings[i] + '\n';
  }
}

void writeReply(const uint8_t* reply, size_t length, void* user) {
  const std::unique_ptr<PendingReply> pending(static_cast<PendingReply*>(user));
  std::string& toldForNextReply = pending->told->lines;
  if (!toldForNextReply.empty()) {
    // Each line names the call it belongs to.
    const std::string prefix =
        "velmo-image-tools serve: call " + std::to_string(pending->id) + ": ";
    std::string lines;
    size_t start = 0;
    for (size_t end; (end = toldForNextReply.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines += prefix + toldForNextReply.substr(start, end + 1 - start);
    }
    std::cerr << lines << std::flush;
    toldForNextReply.clear();
  }
  writeFrame(pending->fd, pending->id, reply, length);
  std::lock_guard lock(pending->inFlight->mutex);
  --pending->inFlight->pending;
  ++pending->inFlight->replies;
  pending->inFlight->answered.notify_all();
}

}  // namespace

int serve(int inputFd, int outputFd) {
  // A closed output pipe shows up as a failed write, handled where it happens.
  std::signal(SIGPIPE, SIG_IGN);

  // The plug-in answers on its own thread, so replies that are ready go out even while this
  // thread waits for a writer that pauses (or keeps the pipe open).
  Told told;
  InFlight inFlight;
  platform::Owner<velmo_plugin, velmo_plugin_destroy> plugin(
      velmo_plugin_create_with_diagnostics(keepDiagnostics, &told));
  if (!plugin) {
    std::cerr << "velmo-image-tools serve: cannot start the plug-in\n";
    return 2;
  }

  std::string problem;
  try {
    for (;;) {
      uint8_t header[kHeaderSize];
      const size_t got = readFully(inputFd, header, kHeaderSize);
      if (got == 0) break;
      if (got < kHeaderSize) {
        problem = "input ends inside a frame header";
        break;
      }
      const uint32_t length = readLe32(header);
      const uint32_t id = readLe32(header + 4);
      if (length > kMaxFramePayload) {
        problem = "frame " + std::to_string(id) + " announces " + std::to_string(length) +
                  " payload bytes, more than the limit of " + std::to_string(kMaxFramePayload);
        break;
      }
      std::vector<uint8_t> payload(length);
      if (readFully(inputFd, payload.data(), length) < length) {
        problem = "input ends inside the payload of frame " + std::to_string(id);
        break;
      }
      auto pending = std::make_unique<PendingReply>(PendingReply{outputFd, id, &told, &inFlight});
      std::unique_lock lock(inFlight.mutex);
      ++inFlight.pending;
      bool queued = false;
      for (;;) {
        const uint64_t repliesBefore = inFlight.replies;
        lock.unlock();
        queued = velmo_plugin_handle(plugin.get(), payload.data(), payload.size(), &writeReply,
                                     pending.get()) == 0;
        lock.lock();
        // Refused with calls still waiting: the queue is full; tried again after a reply.
        if (queued || inFlight.pending <= 1) break;
        inFlight.answered.wait(lock, [&] { return inFlight.replies != repliesBefore; });
      }
      if (!queued) {
        --inFlight.pending;
        problem = "cannot queue frame " + std::to_string(id);
        break;
      }
      pending.release();  // the reply callback takes it
    }
  } catch (const std::system_error& e) {
    problem = e.what();
  }

  plugin.reset();  // waits until every call handed in is answered
  if (!problem.empty()) {
    std::cerr << "velmo-image-tools serve: " << problem << '\n';
    return 2;
  }
  return 0;
}

}  // namespace velmo::cli
