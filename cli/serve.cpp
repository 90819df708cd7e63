#include "cli/serve.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "host/engine.h"
#include "plugin/velmo_image_tools_plugin.h"

namespace velmo::cli {
namespace {

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
void writeFrame(int fd, uint32_t id, const host::Bytes& payload) {
  uint8_t header[kHeaderSize];
  writeLe32(header, static_cast<uint32_t>(payload.size()));
  writeLe32(header + 4, id);
  iovec parts[2] = {{header, kHeaderSize}, {const_cast<uint8_t*>(payload.data()), payload.size()}};
  size_t total = kHeaderSize + payload.size();
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

}  // namespace

int serve(int inputFd, int outputFd) {
  // A closed output pipe shows up as a failed write, handled where it happens.
  std::signal(SIGPIPE, SIG_IGN);

  // Touched only on the main thread (tasks and reply callbacks run there).
  uint64_t answered = 0;
  bool inputDone = false;
  int status = 0;
  // Counted by the reader before each call is sent, so it is never behind the replies.
  std::atomic<uint64_t> received{0};

  host::Engine engine;
  VelmoImageToolsPlugin::registerWith(engine.registrar());
  host::TaskRunner& mainThread = engine.mainThread();

  // Reading happens off the main thread so that a writer that pauses (or keeps the pipe open)
  // never holds back replies that are ready.
  std::thread reader([&] {
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
        host::Bytes payload(length);
        if (readFully(inputFd, payload.data(), length) < length) {
          problem = "input ends inside the payload of frame " + std::to_string(id);
          break;
        }
        received.fetch_add(1);
        engine.send(kChannelName, std::move(payload), [&answered, outputFd, id](host::Bytes reply) {
          writeFrame(outputFd, id, reply);
          ++answered;
        });
      }
    } catch (const std::system_error& e) {
      problem = e.what();
    }
    mainThread.post([&inputDone, &status, problem] {
      inputDone = true;
      if (!problem.empty()) {
        std::cerr << "velmo-image-tools serve: " << problem << '\n';
        status = 2;
      }
    });
  });

  const auto finished = [&] { return inputDone && answered == received.load(); };
  while (!finished()) mainThread.runUntil(finished, std::chrono::hours(1));
  reader.join();
  return status;
}

}  // namespace velmo::cli
