// Every file system call of a method failed in turn, through the LD_PRELOAD interposer
// (libvelmo_faultinject.so, faultinject.h). For each case the calls that the method makes
// are counted first; then the call runs once per call N = 1 .. count with the Nth failing
// with EIO, and once more with ENOSPC where the Nth is a write. Every run must give exactly
// one reply, an error text from the catalogue or the file system's own reason, no partial or
// temporary file, and leave a file that was already at the destination as it was.
//
// The program starts itself again with the interposer preloaded when it was started without
// it; sanitizer builds leave it out (their runtime must be the first library loaded).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/standard_codec.h"
#include "tests/faultinject/faultinject.h"
#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

namespace fs = std::filesystem;
using host::EncodableMap;

// The interposer's functions, found in the running process.
struct Interposer {
  velmo_faultinject_start_fn start = lookup<velmo_faultinject_start_fn>("velmo_faultinject_start");
  velmo_faultinject_stop_fn stop = lookup<velmo_faultinject_stop_fn>("velmo_faultinject_stop");
  velmo_faultinject_call_fn call = lookup<velmo_faultinject_call_fn>("velmo_faultinject_call");
  velmo_faultinject_hold_fn hold = lookup<velmo_faultinject_hold_fn>("velmo_faultinject_hold");
  velmo_faultinject_wait_held_fn waitHeld =
      lookup<velmo_faultinject_wait_held_fn>("velmo_faultinject_wait_held");
  velmo_faultinject_release_fn release =
      lookup<velmo_faultinject_release_fn>("velmo_faultinject_release");

  template <typename Function>
  static Function lookup(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
  }
  bool loaded() const { return start && stop && call && hold && waitHeld && release; }
};

struct TracedCall {
  int kind = -1;
  std::string path;
};

const char* kindName(int kind) {
  static const char* const names[] = {"open", "read", "write", "fsync", "rename", "close", "stat"};
  return kind >= 0 && kind < 7 ? names[kind] : "?";
}

// "write result.jpg": the kind and the file name, a temporary file's random part left out.
std::string describeCall(const TracedCall& call) {
  std::string name = fs::path(call.path).filename().string();
  if (name.starts_with(".") && name.ends_with(".tmp")) name = "temporary file";
  return std::string(kindName(call.kind)) + " " + name;
}

// One method call with the files it works on: a source, an output path and, for some, a
// file already at the output path.
struct Case {
  std::string name;
  std::string method;
  std::function<EncodableMap(const std::string& source, const std::string& destination)> arguments;
  std::function<void(const std::string& path)> makeSource;
  // The file the call writes, as a suffix of its destination ("" when it writes none).
  std::string outputSuffix;
  bool existingOutput = false;
  // Catalogue messages a failure may be answered with.
  std::set<std::string> messages;
};

RgbaImage photo(uint32_t width, uint32_t height, bool translucent) {
  return RgbaImage::generate(width, height, [translucent](uint32_t x, uint32_t y) {
    const uint32_t alpha = translucent ? 0x40u + (x + y) % 0xC0u : 0xFFu;
    return alpha << 24 | (x * 7 % 256) << 16 | (y * 3 % 256) << 8 | ((x ^ y) & 0xFF);
  });
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(interposer_.loaded()) << "libvelmo_faultinject.so missing"; }

  // Runs |c| with call N failing; returns the replies of the call and of a "metadata" sent
  // after it (which shows that no second reply of the first is still to come: the worker
  // runs calls in order and replies in order).
  std::vector<PluginHarness::Tagged> run(PluginHarness& harness, const EncodableMap& arguments,
                                         const std::string& method, const std::string& source,
                                         long failAt, int error) {
    const size_t before = harness.replies().size();
    interposer_.start(failAt, error);
    harness.send(method, arguments, 0);
    harness.send("metadata", map({{"path", source}}), 1);
    const bool arrived = harness.waitForReplies(before + 2, std::chrono::minutes(2));
    interposer_.stop();
    EXPECT_TRUE(arrived);
    return {harness.replies().begin() + static_cast<long>(before), harness.replies().end()};
  }

  TracedCall traced(long index) {
    char path[4096];
    TracedCall call;
    call.kind = interposer_.call(index, path, sizeof path);
    if (call.kind >= 0) call.path = path;
    return call;
  }

  void runCase(const Case& c);

  Interposer interposer_;
};

void Faults::runCase(const Case& c) {
  const ScratchDir dir;
  const std::string source = dir.file("source");
  c.makeSource(source);
  const fs::path out = dir.path() / "out";
  const std::string destination = (out / "result").string();
  const std::string output = destination + c.outputSuffix;
  const EncodableMap arguments = c.arguments(source, destination);
  const std::vector<uint8_t> sourceBytes = readBytes(source);

  // What was at the output path before the call, when anything was.
  std::vector<uint8_t> existing;
  if (c.existingOutput) {
    const std::string other = dir.file("other");
    c.outputSuffix == ".png" ? writePngFile(other, photo(30, 20, true), true)
                             : writeJpegFile(other, photo(30, 20, false));
    existing = readBytes(other);
  }
  const auto resetOutput = [&] {
    fs::remove_all(out);
    fs::create_directory(out);
    if (c.existingOutput) writeBytes(output, existing);
  };

  PluginHarness harness;
  // A first call loads what any call loads once per process (fonts, libraries), so that the
  // calls counted below are those of the method itself. Its answer is the reference.
  resetOutput();
  const Reply reference = harness.call(c.method, arguments);
  ASSERT_TRUE(reference.ok()) << c.name << ": " << reference.errorMessage();
  const std::vector<uint8_t> written =
      c.outputSuffix.empty() ? std::vector<uint8_t>{} : readBytes(output);

  // Count the calls, twice: the same sequence each time, or N would not name one call.
  std::vector<TracedCall> calls;
  long count = 0;
  for (int pass = 0; pass < 2; ++pass) {
    resetOutput();
    const auto replies = run(harness, arguments, c.method, source, 0, 0);
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_TRUE(replies[0].reply.ok()) << replies[0].reply.errorMessage();
    // The calls of the method only, without those of the "metadata" sent after it.
    const long all = interposer_.stop();
    std::vector<TracedCall> seen;
    for (long i = 1; i <= all; ++i) seen.push_back(traced(i));
    if (pass == 0) {
      calls = seen;
    } else {
      ASSERT_EQ(seen.size(), calls.size()) << c.name << ": the calls differ between two runs";
      for (size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(describeCall(seen[i]), describeCall(calls[i])) << c.name << " call " << i + 1;
      }
    }
  }
  // The "metadata" that follows makes the last calls of the trace: they are those of the
  // same "metadata" alone.
  {
    resetOutput();
    interposer_.start(0, 0);
    ASSERT_TRUE(harness.call("metadata", map({{"path", source}})).ok());
    const long sentinel = interposer_.stop();
    ASSERT_LE(static_cast<size_t>(sentinel), calls.size());
    count = static_cast<long>(calls.size()) - sentinel;
    calls.resize(static_cast<size_t>(count));
  }
  ASSERT_GT(count, 0);
  // The call from which on the output is in place (the rename of the temporary file).
  long placedAt = count + 1;
  for (long i = 1; i <= count; ++i) {
    if (calls[static_cast<size_t>(i - 1)].kind == VELMO_FI_RENAME) placedAt = i;
  }

  int runs = 0;
  int failures = 0;
  std::string trace;
  for (long n = 1; n <= count; ++n) {
    const TracedCall& failed = calls[static_cast<size_t>(n - 1)];
    trace += std::to_string(n) + " " + describeCall(failed) + "; ";
    std::vector<int> errors = {EIO};
    if (failed.kind == VELMO_FI_WRITE) errors.push_back(ENOSPC);
    for (int error : errors) {
      const std::string what = c.name + ", call " + std::to_string(n) + " (" +
                               describeCall(failed) + ") failing with " + std::strerror(error);
      resetOutput();
      const auto replies = run(harness, arguments, c.method, source, n, error);
      ++runs;
      // Exactly one reply, then the next call's.
      ASSERT_EQ(replies.size(), 2u) << what;
      ASSERT_EQ(replies[0].tag, 0) << what;
      ASSERT_EQ(replies[1].tag, 1) << what;
      EXPECT_TRUE(replies[1].reply.ok()) << what;
      EXPECT_EQ(describeCall(traced(n)), describeCall(failed)) << what;
      const Reply& reply = replies[0].reply;
      ASSERT_TRUE(reply.kind == Reply::Kind::Success || reply.kind == Reply::Kind::Error) << what;

      const std::string fileReason = "write " + output + ": " + std::strerror(error);
      const std::string statReason = "stat " + output + ": " + std::strerror(error);
      if (reply.ok()) {
        // Success only with the very answer and file of a call without faults (checked below):
        // a failure that loses nothing, such as a read at the end of the file, may pass.
        EXPECT_EQ(describe(reply.map()), describe(reference.map())) << what;
        // A write, sync or rename that failed cannot have gone unnoticed, but for the
        // directory's sync (the file is in place then, and the failure is reported).
        EXPECT_TRUE(failed.kind != VELMO_FI_WRITE && failed.kind != VELMO_FI_RENAME &&
                    (failed.kind != VELMO_FI_FSYNC || n > placedAt))
            << what;
      } else {
        ++failures;
        EXPECT_EQ(reply.error.code, messages::kProcessingCode) << what;
        const std::string message = reply.errorMessage();
        // A failed write, sync or rename is reported as the file system's reason.
        if (failed.kind == VELMO_FI_WRITE || failed.kind == VELMO_FI_FSYNC ||
            failed.kind == VELMO_FI_RENAME) {
          EXPECT_EQ(message, fileReason) << what;
        } else {
          EXPECT_TRUE(c.messages.count(message) || message == fileReason ||
                      (failed.kind == VELMO_FI_STAT && message == statReason))
              << what << ": " << message;
        }
      }

      // The source is never touched.
      EXPECT_EQ(readBytes(source), sourceBytes) << what;
      // The output directory: no temporary file, and at the output path the new file whole
      // (after success, or after a failure once it was in place), the file that was there
      // before, or nothing.
      std::vector<std::string> entries;
      for (const auto& entry : fs::directory_iterator(out)) {
        entries.push_back(entry.path().filename().string());
      }
      if (c.outputSuffix.empty()) {
        EXPECT_TRUE(entries.empty()) << what;
        continue;
      }
      const bool present = fs::exists(output);
      EXPECT_EQ(entries.size(), present ? 1u : 0u) << what;
      if (!present) {
        EXPECT_TRUE(!reply.ok() && !c.existingOutput) << what;
        continue;
      }
      const std::vector<uint8_t> now = readBytes(output);
      if (reply.ok() || n > placedAt) {
        EXPECT_EQ(now, written) << what;
      } else if (c.existingOutput) {
        EXPECT_EQ(now, existing) << what << ": the existing file was changed";
      } else {
        ADD_FAILURE() << what << ": a file was left at the output path";
      }
    }
  }
  std::cout << "[ faults ] " << c.name << ": " << count << " calls, " << runs << " runs, "
            << failures << " answered with an error; calls: " << trace << '\n';
}

const std::set<std::string> kMetadataMessages = {messages::kUnreadableImage};
const std::set<std::string> kRenderMessages = {messages::kUnreadableImage, messages::kCannotDecode};
const std::set<std::string> kTileMessages = {messages::kUnreadableImage,
                                             messages::kCannotReadLongImage};

void jpegSource(const std::string& path) {
  writeJpegFile(path, photo(320, 240, false), 90);
}
void pngSource(const std::string& path) {
  writePngFile(path, photo(160, 120, true), true);
}
void longSource(const std::string& path) {
  writePngFile(path, photo(120, 900, false), false);
}

EncodableMap renderOf(const std::string& source, const std::string& destination) {
  return renderArguments(
      source, destination, 120, 90,
      map({{"crop", host::EncodableList{0.1, 0.1, 0.8, 0.8}}, {"quarterTurns", 1}}));
}

TEST_F(Faults, Metadata) {
  runCase({"metadata of a JPEG", "metadata",
           [](const std::string& s, const std::string&) {
             return map({{"path", s}});
           },
           jpegSource, "", false, kMetadataMessages});
  runCase({"metadata of a PNG", "metadata",
           [](const std::string& s, const std::string&) {
             return map({{"path", s}});
           },
           pngSource, "", false, kMetadataMessages});
}

TEST_F(Faults, RenderToJpeg) {
  runCase({"render to a new JPEG", "render", renderOf, jpegSource, ".jpg", false, kRenderMessages});
  runCase({"render over an existing JPEG", "render", renderOf, jpegSource, ".jpg", true,
           kRenderMessages});
}

TEST_F(Faults, RenderToPng) {
  runCase({"render to a new PNG", "render", renderOf, pngSource, ".png", false, kRenderMessages});
  runCase({"render over an existing PNG", "render", renderOf, pngSource, ".png", true,
           kRenderMessages});
}

TEST_F(Faults, Tile) {
  const auto window = [](const std::string& s, const std::string& d) {
    return map({{"path", s},
                {"destination", d},
                {"y", 100},
                {"width", 120},
                {"height", 400},
                {"sample", 2}});
  };
  runCase({"tile", "tile", window, longSource, ".png", false, kTileMessages});
  // A file already at the tile path is the answer, described and never rewritten.
  runCase({"tile from the cache", "tile", window, longSource, ".png", true, kTileMessages});
}

// The source is read when its call runs, not when it is queued: a file truncated or replaced
// while the call waits is answered as it is then. The call ahead of them is held at the open
// of its source until the files have changed.
TEST_F(Faults, SourceChangedWhileTheCallWaitsInTheQueue) {
  const ScratchDir dir;
  const std::string first = dir.file("first.png");
  const std::string truncated = dir.file("truncated.png");
  const std::string replaced = dir.file("replaced.png");
  writePngFile(first, photo(64, 48, false), false);
  fs::copy_file(first, truncated);
  fs::copy_file(first, replaced);

  PluginHarness harness;
  interposer_.hold(first.c_str());
  harness.send("render", renderArguments(first, dir.file("first"), 64, 48), 0);
  harness.send("render", renderArguments(truncated, dir.file("t"), 64, 48), 1);
  harness.send("metadata", map({{"path", replaced}}), 2);
  // The main thread hands the calls to the worker.
  harness.engine().mainThread().runUntilIdle();
  interposer_.waitHeld();
  fs::resize_file(truncated, 100);
  writePngFile(dir.file("other.png"), RgbaImage::filled(20, 10, 0xFF102030u), false);
  fs::rename(dir.file("other.png"), replaced);
  interposer_.release();

  ASSERT_TRUE(harness.waitForReplies(3, std::chrono::minutes(2)));
  const auto& replies = harness.replies();
  EXPECT_TRUE(replies[0].reply.ok()) << replies[0].reply.errorMessage();
  EXPECT_EQ(replies[1].reply.errorMessage(), messages::kCannotDecode);
  EXPECT_FALSE(fs::exists(dir.file("t.jpg")));
  ASSERT_TRUE(replies[2].reply.ok());
  EXPECT_EQ(intEntry(replies[2].reply.map(), "width"), 20);
}

// Calls queued behind a slow one keep their decoded arguments until the worker reaches them,
// so the pipe host stops reading while the waiting calls hold the C entry point's bound
// (VELMO_MAX_QUEUED_BYTES). `velmo-image-tools serve` is run with its first call held at the
// open of its photo (the interposer, set up through the environment) and 60 calls of 400,000
// nulls each behind it (16 MB each while decoded). The held call is let go once serve has
// stopped reading (its main thread waits for a reply) or has read everything, which is the
// fault; its peak resident memory stays under 512 MiB, and every call is answered once.
TEST(ServeQueue, StopsReadingWhileTheWaitingCallsHoldTheBound) {
  const ScratchDir dir;
  const std::string held = dir.file("held.png");
  writePngFile(held, photo(32, 24, false), false);
  const std::string fifo = dir.file("hold");
  ASSERT_EQ(::mkfifo((fifo + ".held").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((fifo + ".release").c_str(), 0600), 0);
  const int heldFd = ::open((fifo + ".held").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(heldFd, 0);

  constexpr uint32_t kQueued = 60;
  const host::Bytes first = host::encodeMethodCall({"metadata", EncodableMap{{"path", held}}});
  const host::Bytes big = host::encodeMethodCall(
      {"metadata", EncodableMap{{"path", held},
                                {"junk", host::EncodableList(400'000, host::EncodableValue())}}});
  const auto frame = [](uint32_t id, const host::Bytes& payload) {
    std::string out;
    for (uint32_t v : {static_cast<uint32_t>(payload.size()), id}) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    }
    return out.append(payload.begin(), payload.end());
  };

  int in[2], out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  std::vector<std::string> environment = {
      std::string("LD_PRELOAD=") + VELMO_FAULTINJECT_LIBRARY, "VELMO_FAULTINJECT_HOLD=" + held,
      "VELMO_FAULTINJECT_HOLD_FIFO=" + fifo, "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  char program[] = VELMO_CLI_PATH;
  char serveArg[] = "serve";
  char* argv[] = {program, serveArg, nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execve(program, argv, envp.data());
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  ::close(in[0]);
  ::close(out[1]);

  std::atomic<bool> allWritten{false};
  std::thread writer([&] {
    std::string input = frame(0, first);
    for (uint32_t id = 1; id <= kQueued; ++id) input += frame(id, big);
    size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
      if (n <= 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    allWritten = true;
  });
  char byte = 0;
  ASSERT_EQ(::read(heldFd, &byte, 1), 1);
  // serve's main thread either waits for a reply (the bound is reached) or has read all.
  const auto waitsForAReply = [pid] {
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    wchan >> where;
    return where.find("futex") != std::string::npos;
  };
  while (!allWritten && !waitsForAReply()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // only spares the processor
  }
  const bool stoppedReading = !allWritten;
  ::close(::open((fifo + ".release").c_str(), O_WRONLY | O_CLOEXEC));

  // Every reply, read while serve still runs (its input stays open), then its peak.
  std::string replies;
  std::vector<int> answered(kQueued + 1, 0);
  size_t at = 0, frames = 0;
  char buffer[65536];
  while (frames < kQueued + 1) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    replies.append(buffer, static_cast<size_t>(n));
    while (at + 8 <= replies.size()) {
      uint32_t length = 0, id = 0;
      for (int i = 0; i < 4; ++i) {
        length |= uint32_t(uint8_t(replies[at + i])) << (8 * i);
        id |= uint32_t(uint8_t(replies[at + 4 + i])) << (8 * i);
      }
      if (at + 8 + length > replies.size()) break;
      at += 8 + length;
      ++frames;
      if (id <= kQueued) ++answered[id];
    }
  }
  long peakKiB = 0;
  {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmHWM:")) peakKiB = std::atol(line.c_str() + 6);
    }
  }
  writer.join();
  ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  ::close(heldFd);

  EXPECT_TRUE(stoppedReading) << "serve read every frame while the first call was held";
  EXPECT_GT(peakKiB, 0);
  EXPECT_LT(peakKiB, 512 << 10);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(std::count(answered.begin(), answered.end(), 1), int64_t{kQueued + 1});
}

}  // namespace
}  // namespace velmo::testing

int main(int argc, char** argv) {
  if (!dlsym(RTLD_DEFAULT, "velmo_faultinject_start")) {
    // Started without the interposer: start again with it loaded ahead of the C library.
    ::setenv("LD_PRELOAD", VELMO_FAULTINJECT_LIBRARY, 1);
    ::execv("/proc/self/exe", argv);
    std::cerr << "cannot start again with " << VELMO_FAULTINJECT_LIBRARY << ": "
              << std::strerror(errno) << '\n';
    return 1;
  }
  // Programs this one starts do not inherit it.
  ::unsetenv("LD_PRELOAD");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
