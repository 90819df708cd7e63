#include "cli/playground.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "cli/json_values.h"
#include "cli/playground_files.h"
#include "host/engine.h"
#include "host/standard_codec.h"
#include "plugin/velmo_image_tools_plugin.h"

#ifndef VELMO_EXAMPLES_DIR
#define VELMO_EXAMPLES_DIR "examples"
#endif

namespace velmo::cli {

namespace fs = std::filesystem;

namespace {

const char* mimeOf(const std::string& name) {
  const auto ends = [&name](std::string_view suffix) { return name.ends_with(suffix); };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".png")) return "image/png";
  if (ends(".jpg")) return "image/jpeg";
  if (ends(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

// Resident memory of this process in KiB, from /proc/self/status (0 when unreadable).
long residentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Limits on what one request may ask of the plug-in's one worker. The plug-in takes any number
// of strokes and points; the page is a place to try recipes, so it forwards modest ones only.
constexpr size_t kMaxCallBody = 1u << 20;           // bytes of a /api/call body
constexpr size_t kMaxCallValues = 100'000;          // JSON values that body may decode into
constexpr size_t kMaxStrokes = 100;                 // strokes of one recipe
constexpr size_t kMaxPoints = 2'000;                // points of all strokes of one recipe
constexpr double kMaxOutputPixels = 4096.0 * 3072;  // a render's or a tile's output area
// HTTP connections: threads serving them, and the time a read or a write may wait.
constexpr size_t kConnectionThreads = 32;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 2;
constexpr size_t kKeepAliveRequests = 100;
// Calls waiting for the worker at once; more are turned away so that they do not take every
// connection thread.
constexpr size_t kMaxWaitingCalls = 8;

// A secret of 256 random bits in hexadecimal, for the address the server prints.
std::string makeToken() {
  unsigned char bytes[32];
  size_t done = 0;
  while (done < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + done, sizeof bytes - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "getrandom");
    done += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

// Compares in a time that depends on the lengths only.
bool sameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

// The value of cookie |name| in a Cookie header, or empty.
std::string cookieValue(const std::string& header, const std::string& name) {
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    std::string_view part(header.data() + start, end - start);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.starts_with(name) && part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
    start = end + 1;
  }
  return "";
}

// An upper bound of the values a JSON text decodes into, counted without decoding it: every
// value but the first follows a comma, a colon or an opening bracket.
size_t jsonValueBound(std::string_view text) {
  size_t count = 1;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == ',' || c == ':' || c == '[' || c == '{') {
      ++count;
    }
  }
  return count;
}

// The sockets of this process's HTTP connections: each one's peer port and descriptor.
template <typename Visit>
void forEachConnection(Visit visit) {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return;
  const int own = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    struct stat st {};
    if (entry->d_name[0] == '.' || fd == own || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
      continue;
    }
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        peer.sin_family != AF_INET) {
      continue;
    }
    visit(fd, static_cast<int>(ntohs(peer.sin_port)));
  }
  ::closedir(folder);
}

// Whether the client at |port| has closed its end (the page has gone).
bool clientHasGone(int port) {
  bool gone = false;
  forEachConnection([&](int fd, int peerPort) {
    if (peerPort != port) return;
    pollfd p{fd, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) gone = true;
  });
  return gone;
}

class Playground {
 public:
  // What a call tells beside its reply. The plug-in tells it on the main thread just before
  // that call's reply, so the reply's callback takes it there.
  void tell(const Diagnostics& diagnostics) { told_ = diagnostics; }

  Playground(host::Engine& engine, fs::path root)
      : engine_(engine), files_(std::move(root)), token_(makeToken()) {}

  const std::string& token() const { return token_; }
  const fs::path& outputFolder() const { return files_.outputFolder(); }

  void install(httplib::Server& server) {
    server.set_payload_max_length(kPlaygroundMaxUpload);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      auto refusal = checkOrigin(req);
      if (!refusal) refusal = checkToken(req);
      if (refusal) {
        sendRefusal(res, *refusal);
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
      serveAsset(res, "index.html");
      if (req.has_param("token")) {
        // Kept by the browser for this server's address only, sent back by the page's own
        // requests and never readable by scripts.
        res.set_header("Set-Cookie",
                       cookieName() + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
      }
    });
    server.Get(R"(/([A-Za-z0-9_-]+\.(html|css|js)))",
               [](const httplib::Request& req, httplib::Response& res) {
                 serveAsset(res, req.matches[1].str());
               });
    // Browsers ask for an icon on their own; the page has none.
    server.Get("/favicon.ico",
               [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    server.Get(R"(/out/([0-9]+))", [this](const httplib::Request& req, httplib::Response& res) {
      serveOutput(req.matches[1].str(), res);
    });
    server.Get("/api/photos", [this](const httplib::Request&, httplib::Response& res) {
      sendJson(res, 200, listPhotos());
    });
    // Read in pieces, so that a call's body never grows past its limit in memory.
    server.Post("/api/call", [this](const httplib::Request& req, httplib::Response& res,
                                    const httplib::ContentReader& reader) {
      std::string text;
      bool tooLong = false;
      reader([&](const char* data, size_t length) {
        if (text.size() + length > kMaxCallBody) {
          tooLong = true;
          return false;
        }
        text.append(data, length);
        return true;
      });
      if (tooLong) {
        return sendRefusal(res, {413, "refused: a call's body is limited to " +
                                          std::to_string(kMaxCallBody >> 10) + " KiB"});
      }
      handleCall(req, res, text);
    });
    server.Post("/api/upload", [this](const httplib::Request& req, httplib::Response& res) {
      handleUpload(req, res);
    });
  }

  void setPort(int port) { port_ = port; }

 private:
  // Another site's page (Origin), a name that is not this server's (Host: DNS rebinding), and
  // a browser's own word that the request crosses sites are all turned away.
  std::optional<Refusal> checkOrigin(const httplib::Request& req) const {
    const std::string port = std::to_string(port_);
    const std::string host = req.get_header_value("Host");
    if (host != "127.0.0.1:" + port && host != "localhost:" + port) {
      return Refusal{403, "refused: Host \"" + host + "\" is not this server"};
    }
    if (req.has_header("Origin")) {
      const std::string origin = req.get_header_value("Origin");
      if (origin != "http://127.0.0.1:" + port && origin != "http://localhost:" + port) {
        return Refusal{403, "refused: requests from origin \"" + origin + "\" are not served"};
      }
    }
    const std::string site = req.get_header_value("Sec-Fetch-Site");
    if (site == "cross-site" || site == "same-site") {
      return Refusal{403, "refused: cross-site request"};
    }
    return std::nullopt;
  }

  std::string cookieName() const { return "velmo_playground_" + std::to_string(port_); }

  // Every request but the page's first load carries the secret this server printed: in the
  // address (only "/?token=..."), or in the cookie that load set. Without it nothing is read.
  std::optional<Refusal> checkToken(const httplib::Request& req) const {
    if (req.path == "/" && req.has_param("token") &&
        sameSecret(req.get_param_value("token"), token_)) {
      return std::nullopt;
    }
    if (sameSecret(cookieValue(req.get_header_value("Cookie"), cookieName()), token_)) {
      return std::nullopt;
    }
    return Refusal{403,
                   "refused: open the address the playground printed, with its token, to use it"};
  }

  static void serveAsset(httplib::Response& res, const std::string& name) {
    for (size_t i = 0; i < kPlaygroundAssetCount; ++i) {
      const PlaygroundAsset& asset = kPlaygroundAssets[i];
      if (name == asset.name) {
        res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, mimeOf(name));
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' blob:; style-src 'self'");
        return;
      }
    }
    sendRefusal(res, {404, "not found"});
  }

  void serveOutput(const std::string& id, httplib::Response& res) {
    fs::path path;
    {
      std::lock_guard lock(mutex_);
      auto it = outputsById_.find(id);
      if (it == outputsById_.end()) return sendRefusal(res, {404, "no such output"});
      path = it->second;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return sendRefusal(res, {404, "output is gone"});
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    res.set_content(std::move(bytes), mimeOf(path.string()));
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
  }

  static void sendJson(httplib::Response& res, int status, Json body) {
    body["rssKiB"] = residentKiB();
    res.status = status;
    res.set_content(dumpJson(body), "application/json; charset=utf-8");
    res.set_header("Cache-Control", "no-store");
  }

  static void sendRefusal(httplib::Response& res, const Refusal& refusal) {
    Json body = Json::object();
    body["refused"] = refusal.message;
    sendJson(res, refusal.status, std::move(body));
  }

  Json listPhotos() {
    Json photos = files_.photos();
    Json body = Json::object();
    body["root"] = PlaygroundFiles::kShownRoot;
    body["uploads"] = PlaygroundFiles::kShownUploads;
    body["outputs"] = PlaygroundFiles::kShownOutputs;
    body["photos"] = std::move(photos);
    {
      std::lock_guard lock(turnMutex_);
      body["callsWaiting"] = waiting_;
    }
    body["callsDropped"] = dropped_.load();
    return body;
  }

  struct Answer {
    host::Bytes reply;
    Diagnostics told;
  };

  // Sends one call over the channel, as an app would, and waits for the one reply.
  Answer roundTrip(const host::MethodCall& call) {
    auto answer = std::make_shared<std::promise<Answer>>();
    std::future<Answer> future = answer->get_future();
    engine_.send(kChannelName, host::encodeMethodCall(call), [this, answer](host::Bytes bytes) {
      answer->set_value({std::move(bytes), std::exchange(told_, {})});
    });
    return future.get();
  }

  // Registers a file the plug-in wrote into the output folder and returns its address.
  std::string issueOutput(const fs::path& path) {
    std::lock_guard lock(mutex_);
    auto [it, added] = idsByPath_.try_emplace(path.string(), std::to_string(nextOutputId_));
    if (added) {
      outputsById_[it->second] = path;
      ++nextOutputId_;
    }
    return "/out/" + it->second;
  }

  // Why a render or tile asks more of the worker than the page forwards, or nothing.
  static std::optional<Refusal> checkWork(const std::string& method, const Json& args) {
    const auto number = [&args](const char* key, double fallback) {
      return args.contains(key) && args[key].is_number() ? args[key].get<double>() : fallback;
    };
    const auto tooMuch = [](const std::string& what) {
      return Refusal{413, "refused: " + what + " (the playground's limit; the plug-in takes more)"};
    };
    if (method == "render") {
      if (number("width", 0) * number("height", 0) > kMaxOutputPixels) {
        return tooMuch("an output over " + std::to_string(static_cast<long>(kMaxOutputPixels)) +
                       " pixels");
      }
      if (args.contains("recipe") && args["recipe"].is_object() &&
          args["recipe"].contains("strokes") && args["recipe"]["strokes"].is_array()) {
        const Json& strokes = args["recipe"]["strokes"];
        if (strokes.size() > kMaxStrokes) {
          return tooMuch("more than " + std::to_string(kMaxStrokes) + " strokes");
        }
        size_t points = 0;
        for (const Json& stroke : strokes) {
          if (stroke.is_object() && stroke.contains("points") && stroke["points"].is_array()) {
            points += stroke["points"].size();
          }
        }
        if (points > kMaxPoints) {
          return tooMuch("more than " + std::to_string(kMaxPoints) + " points in all strokes");
        }
      }
    } else if (method == "tile") {
      const double sample = std::max(1.0, number("sample", 1));
      if (number("width", 0) * number("height", 0) / (sample * sample) > kMaxOutputPixels) {
        return tooMuch("a tile over " + std::to_string(static_cast<long>(kMaxOutputPixels)) +
                       " pixels");
      }
    }
    return std::nullopt;
  }

  // The playground hands the channel one call at a time, in the order they came, so that a
  // call waiting behind a long one holds only its request, and is dropped, never run, when its
  // page has closed the connection before the worker is free.
  class Turn {
   public:
    explicit Turn(Playground& owner) : owner_(owner) {
      std::unique_lock lock(owner_.turnMutex_);
      ticket_ = owner_.nextTicket_++;
      ++owner_.waiting_;
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    // Waits for this call's turn; false when its client went away meanwhile.
    bool wait(int clientPort) {
      std::unique_lock lock(owner_.turnMutex_);
      while (ticket_ != owner_.serving_) {
        // The worker's state is not visible here, so a waiting call looks at its client now
        // and then as well as when its turn comes.
        owner_.turnChanged_.wait_for(lock, std::chrono::milliseconds(200));
      }
      lock.unlock();
      return !clientHasGone(clientPort);
    }
    ~Turn() {
      std::lock_guard lock(owner_.turnMutex_);
      --owner_.waiting_;
      ++owner_.serving_;
      owner_.turnChanged_.notify_all();
    }

   private:
    Playground& owner_;
    uint64_t ticket_ = 0;
  };

  // {"method": name, "args": plain JSON as `velmo-image-tools call` takes it}. Answers
  // {"request": {...as sent...}, "result"|"error"|"notImplemented", "ms", "url"?, "rssKiB"}.
  void handleCall(const httplib::Request& req, httplib::Response& res, const std::string& text) {
    if (jsonValueBound(text) > kMaxCallValues) {
      return sendRefusal(res, {413, "refused: a call may hold at most " +
                                        std::to_string(kMaxCallValues) + " JSON values"});
    }
    Json request;
    try {
      request = parseJson(text);
    } catch (const JsonInputError& e) {
      return sendRefusal(res, {400, std::string("refused: ") + e.what()});
    }
    if (!request.is_object() || !request.contains("method") || !request["method"].is_string()) {
      return sendRefusal(res, {400, "refused: a call needs {\"method\": name, \"args\": ...}"});
    }
    const std::string method = request["method"].get<std::string>();
    Json args = request.contains("args") ? request["args"] : Json();
    Json shownArgs = args;
    std::vector<PlaygroundFiles::Resolved> held;
    std::string outputPrefix, outputFolder, outputRealFolder;
    if (args.is_object()) {
      if (auto refusal = checkWork(method, args)) return sendRefusal(res, *refusal);
      for (const char* key : {"path", "destination"}) {
        if (!args.contains(key) || !args[key].is_string()) continue;
        const bool destination = std::strcmp(key, "destination") == 0;
        auto checked = files_.resolve(key, args[key].get<std::string>(), destination);
        if (auto* refusal = std::get_if<Refusal>(&checked)) return sendRefusal(res, *refusal);
        auto& resolved = std::get<PlaygroundFiles::Resolved>(checked);
        args[key] = resolved.forwarded;
        shownArgs[key] = resolved.shown;
        if (destination) {
          outputPrefix = resolved.heldPrefix;
          outputFolder = resolved.shownFolder;
          outputRealFolder = resolved.realFolder;
        }
        held.push_back(std::move(resolved));
      }
    }
    host::MethodCall call{method, host::EncodableValue()};
    try {
      if (!args.is_null()) call.arguments = fromPlainJson(args);
    } catch (const JsonInputError& e) {
      return sendRefusal(res, {400, std::string("refused: ") + e.what()});
    }
    args = Json();
    request = Json();

    {
      std::lock_guard lock(turnMutex_);
      if (waiting_ >= kMaxWaitingCalls) {
        return sendRefusal(res, {503, "refused: " + std::to_string(kMaxWaitingCalls) +
                                          " calls already wait for the worker"});
      }
    }
    Turn turn(*this);
    if (!turn.wait(req.remote_port)) {
      ++dropped_;
      return sendRefusal(res, {499, "dropped: the page went away before the worker was free"});
    }
    const auto started = std::chrono::steady_clock::now();
    const auto [reply, told] = roundTrip(call);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();

    Json body = Json::object();
    Json sent = Json::object();
    sent["method"] = call.method;
    sent["args"] = std::move(shownArgs);
    body["request"] = std::move(sent);
    Json answer = envelopeToJson(reply, JsonForm::Plain);
    if (answer.contains("result") && !outputPrefix.empty()) {
      Json& json = answer["result"];
      if (json.is_object() && json.contains("path") && json["path"].is_string()) {
        // The plug-in names the file through the folder's descriptor; the page knows the
        // folder by its name.
        const std::string written = json["path"].get<std::string>();
        if (written.starts_with(outputPrefix)) {
          const std::string name = written.substr(outputPrefix.size());
          json["path"] = outputFolder + name;
          if (files_.isOutput(outputRealFolder + name)) {
            body["url"] = issueOutput(outputRealFolder + name);
          }
        }
      }
    }
    for (auto& item : answer.items()) body[item.key()] = std::move(item.value());
    // For the developer, never part of the reply: why it failed, what the reading forgave.
    if (!told.reason.empty()) body["why"] = told.reason;
    if (!told.warnings.empty()) body["warnings"] = told.warnings;
    body["ms"] = ms;
    sendJson(res, 200, std::move(body));
  }

  // The raw file as the body; ?name= the browser's file name, shown in the picker. The file is
  // kept only when its signature is an image format and "metadata" can read it.
  void handleUpload(const httplib::Request& req, httplib::Response& res) {
    auto stored = files_.storeUpload(req.body);
    if (auto* refusal = std::get_if<Refusal>(&stored)) return sendRefusal(res, *refusal);
    const auto& upload = std::get<PlaygroundFiles::Upload>(stored);
    host::EncodableMap args;
    args.emplace_back(host::EncodableValue("path"), host::EncodableValue(upload.path.string()));
    host::Bytes reply;
    {
      Turn turn(*this);
      turn.wait(req.remote_port);
      reply = roundTrip({"metadata", host::EncodableValue(std::move(args))}).reply;
    }
    Json answer = envelopeToJson(reply, JsonForm::Plain);
    if (answer.contains("error")) {
      PlaygroundFiles::discardUpload(upload);
      Json body = Json::object();
      body["refused"] = "refused: the plug-in cannot read this image";
      Json& error = answer["error"];
      error.erase("details");
      body["error"] = std::move(error);
      return sendJson(res, 415, std::move(body));
    }
    Json body = Json::object();
    body["photo"] =
        files_.keepUpload(upload, req.has_param("name") ? req.get_param_value("name") : "");
    body["metadata"] = std::move(answer.at("result"));
    sendJson(res, 200, std::move(body));
  }

  host::Engine& engine_;
  Diagnostics told_;  // on the main thread only
  PlaygroundFiles files_;
  const std::string token_;
  std::mutex turnMutex_;
  std::condition_variable turnChanged_;
  uint64_t nextTicket_ = 0;
  uint64_t serving_ = 0;
  size_t waiting_ = 0;
  std::atomic<int> dropped_{0};
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, fs::path> outputsById_;
  std::map<std::string, std::string> idsByPath_;
  int nextOutputId_ = 1;
};

}  // namespace

int playground(const PlaygroundOptions& options) {
  std::error_code ec;
  const fs::path root = fs::canonical(
      options.root.empty() ? fs::path(VELMO_EXAMPLES_DIR) : fs::path(options.root), ec);
  if (ec || !fs::is_directory(root)) {
    std::cerr << "velmo-image-tools playground: no folder at "
              << (options.root.empty() ? VELMO_EXAMPLES_DIR : options.root) << '\n';
    return 2;
  }

  // SIGINT and SIGTERM are taken by one thread with sigwait, so every thread started from
  // here on has them blocked and the shutdown runs in order: stop listening, let the calls in
  // flight get their replies, remove the temporary folders.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  removeStaleFolders();
  host::Engine engine;
  Playground page(engine, root);
  VelmoImageToolsPlugin::registerWith(
      engine.registrar(), [&page](const Diagnostics& diagnostics) { page.tell(diagnostics); });
  host::TaskRunner& mainThread = engine.mainThread();

  httplib::Server server;
  page.install(server);
  // A client that sends slowly, or not at all, holds one of many connection threads for a few
  // seconds per read; an idle kept-alive connection is let go soon.
  server.new_task_queue = [] { return new httplib::ThreadPool(kConnectionThreads); };
  server.set_read_timeout(kReadTimeoutSeconds);
  server.set_write_timeout(kReadTimeoutSeconds);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_keep_alive_max_count(kKeepAliveRequests);
  // The listening socket is this server's alone: cpp-httplib's default options add
  // SO_REUSEPORT, with which a second server (or any program of the same user) could listen
  // on the same port and take a share of the page's requests. SO_REUSEADDR only lets a port
  // whose last connections are closing be taken again; on Linux it never lets two sockets
  // listen on one port.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  errno = 0;
  const int port = options.port == 0
                       ? server.bind_to_any_port("127.0.0.1")
                       : (server.bind_to_port("127.0.0.1", options.port) ? options.port : -1);
  if (port <= 0) {
    const int error = errno;
    std::cerr << "velmo-image-tools playground: cannot listen on 127.0.0.1:" << options.port;
    if (error != 0) std::cerr << ": " << std::strerror(error);
    std::cerr << '\n';
    return 2;
  }
  page.setPort(port);

  std::atomic<bool> stopping{false};
  std::thread signals([&] {
    int received = 0;
    sigwait(&stopSignals, &received);
    stopping = true;
    server.stop();
    // Connections still open, idle or half-sent, are shut at once: their threads wake from
    // their reads and end, while calls in flight still get their replies.
    forEachConnection([](int fd, int) { ::shutdown(fd, SHUT_RD); });
  });

  bool listening = true;
  std::thread listener([&] {
    server.listen_after_bind();
    mainThread.post([&listening] { listening = false; });
  });
  std::cout << "Open http://127.0.0.1:" << port << "/?token=" << page.token() << std::endl;
  std::cout << "Photos from " << root.string() << ", outputs in " << page.outputFolder().string()
            << "; Ctrl-C stops." << std::endl;

  const auto done = [&listening] { return !listening; };
  while (!done()) mainThread.runUntil(done, std::chrono::hours(1));
  listener.join();
  if (!stopping) pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  return 0;
}

}  // namespace velmo::cli
