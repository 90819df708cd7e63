#include "cli/playground.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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
#include <vector>

#include "cli/json_values.h"
#include "host/engine.h"
#include "host/standard_codec.h"
#include "plugin/velmo_image_tools_plugin.h"

#ifndef VELMO_EXAMPLES_DIR
#define VELMO_EXAMPLES_DIR "examples"
#endif

namespace velmo::cli {

namespace fs = std::filesystem;

std::string sniffImageType(std::string_view b) {
  const auto starts = [&b](std::string_view prefix, size_t at = 0) {
    return b.size() >= at + prefix.size() && b.substr(at, prefix.size()) == prefix;
  };
  if (starts("\xFF\xD8\xFF")) return "jpg";
  if (starts("\x89PNG\r\n\x1A\n")) return "png";
  if (starts("GIF87a") || starts("GIF89a")) return "gif";
  if (starts("RIFF") && starts("WEBP", 8)) return "webp";
  if (starts("ftyp", 4) && b.size() >= 12) {
    const std::string_view brand = b.substr(8, 4);
    if (brand == "avif" || brand == "avis") return "avif";
    for (std::string_view heif : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"}) {
      if (brand == heif) return "heic";
    }
  }
  return "";
}

std::string percentDecode(std::string_view text) {
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hex(text[i + 1]);
      const int low = hex(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high << 4 | low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

namespace {

constexpr const char* kImageExtensions[] = {".jpg",  ".jpeg", ".png",  ".gif",
                                            ".webp", ".heic", ".heif", ".avif"};
constexpr size_t kMaxListedPhotos = 1000;

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

bool isInside(const fs::path& path, const fs::path& folder) {
  const std::string p = path.native();
  const std::string f = folder.native();
  return p.size() > f.size() && p.compare(0, f.size(), f) == 0 && p[f.size()] == '/';
}

bool hasDotDot(std::string_view text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

// A private folder (mode 0700) under $TMPDIR or /tmp, removed with everything in it when the
// owner goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = fs::canonical(pattern);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Refusal {
  int status;
  std::string message;
};

class Playground {
 public:
  // What a call tells beside its reply. The plug-in tells it on the main thread just before
  // that call's reply, so the reply's callback takes it there.
  void tell(const Diagnostics& diagnostics) { told_ = diagnostics; }

  Playground(host::Engine& engine, fs::path root)
      : engine_(engine), root_(std::move(root)), temp_("velmo-playground") {
    uploads_ = temp_.path() / "uploads";
    outputs_ = temp_.path() / "outputs";
    fs::create_directory(uploads_);
    fs::create_directory(outputs_);
    fs::permissions(uploads_, fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(outputs_, fs::perms::owner_all, fs::perm_options::replace);
  }

  void install(httplib::Server& server) {
    server.set_payload_max_length(kPlaygroundMaxUpload);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (auto refusal = checkOrigin(req)) {
        sendRefusal(res, *refusal);
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
      serveAsset(res, "index.html");
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
    server.Post("/api/call", [this](const httplib::Request& req, httplib::Response& res) {
      handleCall(req, res);
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

  Json photoEntry(const fs::path& path, const std::string& name) const {
    Json entry = Json::object();
    entry["name"] = name;
    entry["path"] = path.string();
    return entry;
  }

  Json listPhotos() {
    Json photos = Json::array();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             root_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator() && photos.size() < kMaxListedPhotos;
         it.increment(ec)) {
      std::error_code fileEc;
      if (!it->is_regular_file(fileEc)) continue;
      std::string extension = it->path().extension().string();
      std::transform(extension.begin(), extension.end(), extension.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (std::find(std::begin(kImageExtensions), std::end(kImageExtensions), extension) ==
          std::end(kImageExtensions)) {
        continue;
      }
      // A symbolic link under the root that leads out of it is not offered.
      const fs::path real = fs::canonical(it->path(), fileEc);
      if (fileEc || !isInside(real, root_)) continue;
      photos.push_back(photoEntry(it->path(), fs::relative(it->path(), root_).string()));
    }
    {
      std::lock_guard lock(mutex_);
      for (const auto& [path, name] : uploadNames_) photos.push_back(photoEntry(path, name));
    }
    Json body = Json::object();
    body["root"] = root_.string();
    body["uploads"] = uploads_.string();
    body["outputs"] = outputs_.string();
    body["photos"] = std::move(photos);
    return body;
  }

  // The canonical form of |given| when it names a place inside one of |folders|; otherwise
  // why not. Checked: NUL bytes, ".." components (also once %XX escapes are decoded), relative
  // paths, and symbolic links anywhere along the path that lead out. For a destination the
  // files the plug-in will write (with ".png" or ".jpg" appended) must not be links either.
  std::variant<std::string, Refusal> checkPath(const std::string& key, const std::string& given,
                                               const std::vector<fs::path>& folders,
                                               bool destination) const {
    const auto refuse = [&key](const std::string& why) {
      return Refusal{400, "refused: \"" + key + "\" " + why};
    };
    const std::string decoded = percentDecode(given);
    if (given.find('\0') != std::string::npos || decoded.find('\0') != std::string::npos) {
      return refuse("holds a NUL byte");
    }
    if (hasDotDot(given) || hasDotDot(decoded)) return refuse("holds a \"..\" component");
    if (given.empty() || given[0] != '/') return refuse("must be an absolute path");
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(fs::path(given), ec);
    if (ec) return refuse("cannot be resolved: " + ec.message());
    bool inside = false;
    for (const fs::path& folder : folders) inside = inside || isInside(resolved, folder);
    if (!inside) return refuse("lies outside the folders this server may use");
    if (destination) {
      for (const char* extension : {".png", ".jpg"}) {
        const fs::path file = resolved.string() + extension;
        if (fs::is_symlink(fs::symlink_status(file, ec))) return refuse("leads to a link");
      }
    } else if (fs::is_symlink(fs::symlink_status(resolved, ec))) {
      return refuse("leads to a link");  // a dangling link is not resolved by weakly_canonical
    }
    return resolved.string();
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

  // {"method": name, "args": plain JSON as `velmo-image-tools call` takes it}. Answers
  // {"request": {...as sent...}, "result"|"error"|"notImplemented", "ms", "url"?, "rssKiB"}.
  void handleCall(const httplib::Request& req, httplib::Response& res) {
    Json request;
    try {
      request = parseJson(req.body);
    } catch (const JsonInputError& e) {
      return sendRefusal(res, {400, std::string("refused: ") + e.what()});
    }
    if (!request.is_object() || !request.contains("method") || !request["method"].is_string()) {
      return sendRefusal(res, {400, "refused: a call needs {\"method\": name, \"args\": ...}"});
    }
    Json args = request.contains("args") ? request["args"] : Json();
    if (args.is_object()) {
      const std::vector<fs::path> readable = {root_, uploads_, outputs_};
      const std::vector<fs::path> writable = {outputs_};
      for (const char* key : {"path", "destination"}) {
        if (!args.contains(key) || !args[key].is_string()) continue;
        const bool destination = std::strcmp(key, "destination") == 0;
        auto checked = checkPath(key, args[key].get<std::string>(),
                                 destination ? writable : readable, destination);
        if (auto* refusal = std::get_if<Refusal>(&checked)) return sendRefusal(res, *refusal);
        args[key] = std::get<std::string>(checked);
      }
    }
    host::MethodCall call{request["method"].get<std::string>(), host::EncodableValue()};
    try {
      if (!args.is_null()) call.arguments = fromPlainJson(args);
    } catch (const JsonInputError& e) {
      return sendRefusal(res, {400, std::string("refused: ") + e.what()});
    }

    const auto started = std::chrono::steady_clock::now();
    const auto [reply, told] = roundTrip(call);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();

    Json body = Json::object();
    Json sent = Json::object();
    sent["method"] = call.method;
    sent["args"] = args;
    body["request"] = std::move(sent);
    if (reply.empty()) {
      body["notImplemented"] = true;
    } else {
      auto envelope = host::decodeEnvelope(reply);
      if (auto* result = std::get_if<host::EncodableValue>(&envelope)) {
        Json json = toPlainJson(*result);
        if (json.is_object() && json.contains("path") && json["path"].is_string()) {
          const fs::path written = json["path"].get<std::string>();
          if (isInside(written, outputs_)) body["url"] = issueOutput(written);
        }
        body["result"] = std::move(json);
      } else {
        const auto& error = std::get<host::ErrorEnvelope>(envelope);
        Json detail = Json::object();
        detail["code"] = error.code;
        detail["message"] = error.message ? Json(*error.message) : Json();
        detail["details"] = toPlainJson(error.details);
        body["error"] = std::move(detail);
      }
    }
    // For the developer, never part of the reply: why it failed, what the reading forgave.
    if (!told.reason.empty()) body["why"] = told.reason;
    if (!told.warnings.empty()) body["warnings"] = told.warnings;
    body["ms"] = ms;
    sendJson(res, 200, std::move(body));
  }

  // The raw file as the body; ?name= the browser's file name, shown in the picker. The file is
  // kept only when its signature is an image format and "metadata" can read it.
  void handleUpload(const httplib::Request& req, httplib::Response& res) {
    if (req.body.size() > kPlaygroundMaxUpload) {
      return sendRefusal(res, {413, "refused: uploads are limited to " +
                                        std::to_string(kPlaygroundMaxUpload >> 20) + " MiB"});
    }
    const std::string type = sniffImageType(req.body);
    if (type.empty()) {
      return sendRefusal(res, {415, "refused: not a JPEG, PNG, GIF, WebP, HEIF or AVIF file"});
    }
    const int number = ++uploadCount_;
    const fs::path path = uploads_ / ("upload-" + std::to_string(number) + "." + type);
    {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) return sendRefusal(res, {500, "cannot store the upload"});
      size_t done = 0;
      while (done < req.body.size()) {
        const ssize_t n = ::write(fd, req.body.data() + done, req.body.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      ::close(fd);
      if (done < req.body.size()) {
        fs::remove(path);
        return sendRefusal(res, {500, "cannot store the upload"});
      }
    }
    host::EncodableMap args;
    args.emplace_back(host::EncodableValue("path"), host::EncodableValue(path.string()));
    const host::Bytes reply = roundTrip({"metadata", host::EncodableValue(std::move(args))}).reply;
    auto envelope = host::decodeEnvelope(reply);
    if (auto* error = std::get_if<host::ErrorEnvelope>(&envelope)) {
      fs::remove(path);
      Json body = Json::object();
      body["refused"] = "refused: the plug-in cannot read this image";
      Json detail = Json::object();
      detail["code"] = error->code;
      detail["message"] = error->message ? Json(*error->message) : Json();
      body["error"] = std::move(detail);
      return sendJson(res, 415, std::move(body));
    }
    std::string original = req.has_param("name") ? req.get_param_value("name") : "";
    original.erase(std::remove_if(original.begin(), original.end(),
                                  [](unsigned char c) { return c < 0x20 || c == 0x7f; }),
                   original.end());
    if (original.size() > 80) original.resize(80);
    const std::string name =
        "upload " + std::to_string(number) + (original.empty() ? "" : " (" + original + ")");
    {
      std::lock_guard lock(mutex_);
      uploadNames_.emplace_back(path, name);
    }
    Json body = Json::object();
    body["photo"] = photoEntry(path, name);
    body["metadata"] = toPlainJson(std::get<host::EncodableValue>(envelope));
    sendJson(res, 200, std::move(body));
  }

  host::Engine& engine_;
  Diagnostics told_;  // on the main thread only
  const fs::path root_;
  TempFolder temp_;
  fs::path uploads_;
  fs::path outputs_;
  int port_ = 0;
  std::atomic<int> uploadCount_{0};
  std::mutex mutex_;
  std::map<std::string, fs::path> outputsById_;
  std::map<std::string, std::string> idsByPath_;
  int nextOutputId_ = 1;
  std::vector<std::pair<fs::path, std::string>> uploadNames_;
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

  host::Engine engine;
  Playground page(engine, root);
  VelmoImageToolsPlugin::registerWith(
      engine.registrar(), [&page](const Diagnostics& diagnostics) { page.tell(diagnostics); });
  host::TaskRunner& mainThread = engine.mainThread();

  httplib::Server server;
  page.install(server);
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
  });

  bool listening = true;
  std::thread listener([&] {
    server.listen_after_bind();
    mainThread.post([&listening] { listening = false; });
  });
  std::cout << "Open http://127.0.0.1:" << port << "/" << std::endl;
  std::cout << "Photos from " << root.string() << "; Ctrl-C stops." << std::endl;

  const auto done = [&listening] { return !listening; };
  while (!done()) mainThread.runUntil(done, std::chrono::hours(1));
  listener.join();
  if (!stopping) pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  return 0;
}

}  // namespace velmo::cli
