#include "cli/playground.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
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
#include "platform/file_descriptor.h"
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

using platform::FileDescriptor;

// Limits on what one request may ask of the plug-in's one worker. The plug-in takes any number
// of strokes and points; the page is a place to try recipes, so it forwards modest ones only.
constexpr size_t kMaxCallBody = 1u << 20;           // bytes of a /api/call body
constexpr size_t kMaxCallValues = 100'000;          // JSON values that body may decode into
constexpr size_t kMaxStrokes = 100;                 // strokes of one recipe
constexpr size_t kMaxPoints = 2'000;                // points of all strokes of one recipe
constexpr double kMaxOutputPixels = 4096.0 * 3072;  // a render's or a tile's output area
// Uploads kept at once, in count and bytes; the oldest go first.
constexpr size_t kMaxUploads = 16;
constexpr size_t kMaxUploadBytes = 160u << 20;
// HTTP connections: threads serving them, and the time a read or a write may wait.
constexpr size_t kConnectionThreads = 32;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 2;
constexpr size_t kKeepAliveRequests = 100;
// Calls waiting for the worker at once; more are turned away so that they do not take every
// connection thread.
constexpr size_t kMaxWaitingCalls = 8;

std::string tempBase() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

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

// An O_PATH descriptor of |relative| beneath the folder |folderFd|, resolved once and without
// following a symbolic link anywhere along it; -1 with errno when there is none. Linux 5.6 and
// later do it in one openat2; older kernels get the same walk one component at a time.
int openBeneath(int folderFd, const std::string& relative, bool directory) {
  open_how how{};
  // RESOLVE_NO_SYMLINKS refuses a link in the last place too (O_NOFOLLOW would open the link).
  how.flags = O_PATH | O_CLOEXEC | (directory ? O_DIRECTORY : 0);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const std::string name = relative.empty() ? "." : relative;
  const long fd = ::syscall(SYS_openat2, folderFd, name.c_str(), &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);

  FileDescriptor at(::openat(folderFd, ".", O_PATH | O_CLOEXEC | O_DIRECTORY));
  size_t start = 0;
  while (at.valid() && start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string part = relative.substr(start, end - start);
    const bool last = end == relative.size();
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      errno = EXDEV;
      return -1;
    }
    FileDescriptor next(
        ::openat(at.get(), part.c_str(),
                 O_PATH | O_CLOEXEC | O_NOFOLLOW | (!last || directory ? O_DIRECTORY : 0)));
    struct stat st {};
    if (next.valid() && ::fstat(next.get(), &st) == 0 && S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return -1;
    }
    at = std::move(next);
  }
  return at.valid() ? at.release() : -1;
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

// Removes the temporary folders of earlier servers of this user that were killed before
// they could remove them: each names its server's process, which no longer runs.
void removeStaleFolders() {
  std::error_code ec;
  for (auto it = fs::directory_iterator(tempBase(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with("velmo-playground-") || name.size() != 23) continue;
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
      continue;
    }
    std::ifstream pidFile(it->path() / "server.pid");
    long pid = 0;
    if (!(pidFile >> pid) || pid <= 0) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    fs::remove_all(it->path(), ignored);
  }
}

// A private folder (mode 0700) under $TMPDIR or /tmp, removed with everything in it when the
// owner goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix) {
    std::string pattern = tempBase() + "/" + prefix + "-XXXXXX";
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
      : engine_(engine), root_(std::move(root)), temp_("velmo-playground"), token_(makeToken()) {
    uploads_ = temp_.path() / "uploads";
    outputs_ = temp_.path() / "outputs";
    fs::create_directory(uploads_);
    fs::create_directory(outputs_);
    fs::permissions(uploads_, fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(outputs_, fs::perms::owner_all, fs::perm_options::replace);
    // Names this server, so that a later one can tell the folder of a killed one.
    std::ofstream(temp_.path() / "server.pid") << ::getpid() << '\n';
    const auto openFolder = [](const fs::path& path) {
      FileDescriptor fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!fd.valid()) throw std::system_error(errno, std::generic_category(), path.string());
      return fd;
    };
    rootFd_ = openFolder(root_);
    uploadsFd_ = openFolder(uploads_);
    outputsFd_ = openFolder(outputs_);
  }

  const std::string& token() const { return token_; }
  const fs::path& outputFolder() const { return outputs_; }

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

  // The page knows the server's folders by these names only, never where they are.
  static constexpr const char* kShownRoot = "/photos";
  static constexpr const char* kShownUploads = "/uploads";
  static constexpr const char* kShownOutputs = "/outputs";

  // |path| under one of the server's folders as the page names it.
  std::string shownPath(const fs::path& path) const {
    for (const auto& [folder, shown] :
         {std::pair{&root_, kShownRoot}, {&uploads_, kShownUploads}, {&outputs_, kShownOutputs}}) {
      if (isInside(path, *folder)) return shown + ("/" + path.lexically_relative(*folder).string());
    }
    return "";
  }

  Json photoEntry(const fs::path& path, const std::string& name) const {
    Json entry = Json::object();
    entry["name"] = name;
    entry["path"] = shownPath(path);
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
    body["root"] = kShownRoot;
    body["uploads"] = kShownUploads;
    body["outputs"] = kShownOutputs;
    body["photos"] = std::move(photos);
    {
      std::lock_guard lock(turnMutex_);
      body["callsWaiting"] = waiting_;
    }
    body["callsDropped"] = dropped_.load();
    return body;
  }

  // A folder the server may use, with the descriptor every path under it is resolved from.
  struct Folder {
    const fs::path* path;
    int fd;
    const char* shownAs;
  };

  // A path of a call, resolved once: what the page named (shown back to it) and what the
  // plug-in is given, a name under /proc/self/fd of the descriptor held here for the call, so
  // that swapping a folder or file for a link after the check changes nothing.
  struct Resolved {
    std::string shown;
    std::string forwarded;
    std::string heldPrefix;   // "/proc/self/fd/N/" of a destination's folder
    std::string shownFolder;  // that folder as the page names it, and as it is
    std::string realFolder;
    FileDescriptor held;
  };

  // |given| resolved beneath one of |folders|, or why not. Refused: NUL bytes, ".." components
  // (also once %XX escapes are decoded), relative paths, places outside the folders, and
  // symbolic links anywhere beneath the folder. A destination is its folder (resolved so) and
  // a name; the files the plug-in will write there (with ".png" or ".jpg") must not be links.
  std::variant<Resolved, Refusal> resolvePath(const std::string& key, const std::string& given,
                                              const std::vector<Folder>& folders,
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
    // A folder by the name the page knows it by or by where it is.
    const fs::path normal = fs::path(given).lexically_normal();
    const Folder* base = nullptr;
    std::string relative;
    for (const Folder& folder : folders) {
      for (const fs::path& name : {fs::path(folder.shownAs), *folder.path}) {
        if (base == nullptr && isInside(normal, name)) {
          base = &folder;
          relative = normal.lexically_relative(name).string();
        }
      }
    }
    if (base == nullptr) return refuse("lies outside the folders this server may use");

    Resolved resolved;
    resolved.shown = base->shownAs + ("/" + relative);
    if (!destination) {
      resolved.held = FileDescriptor(openBeneath(base->fd, relative, false));
      if (!resolved.held.valid()) {
        if (errno == ELOOP || errno == EXDEV) return refuse("leads to a link");
        // Forwarded by name, a missing file could be made a link before the plug-in opens it.
        return refuse("cannot be opened: " + std::string(std::strerror(errno)));
      }
      resolved.forwarded = "/proc/self/fd/" + std::to_string(resolved.held.get());
      return resolved;
    }
    const fs::path relativePath(relative);
    const std::string name = relativePath.filename().string();
    if (name.empty() || name == ".") return refuse("names no file");
    resolved.held =
        FileDescriptor(openBeneath(base->fd, relativePath.parent_path().string(), true));
    if (!resolved.held.valid()) {
      if (errno == ELOOP || errno == EXDEV) return refuse("leads to a link");
      return refuse("names a folder that cannot be used: " + std::string(std::strerror(errno)));
    }
    for (const char* extension : {".png", ".jpg"}) {
      struct stat st {};
      if (::fstatat(resolved.held.get(), (name + extension).c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
              0 &&
          S_ISLNK(st.st_mode)) {
        return refuse("leads to a link");
      }
    }
    resolved.heldPrefix = "/proc/self/fd/" + std::to_string(resolved.held.get()) + "/";
    const std::string parent = relativePath.parent_path().string();
    resolved.shownFolder = base->shownAs + ("/" + parent + (parent.empty() ? "" : "/"));
    resolved.realFolder = (*base->path / relativePath.parent_path()).string();
    if (!resolved.realFolder.ends_with('/')) resolved.realFolder += '/';
    resolved.forwarded = resolved.heldPrefix + name;
    return resolved;
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
    std::vector<Resolved> held;
    std::string outputPrefix, outputFolder, outputRealFolder;
    if (args.is_object()) {
      if (auto refusal = checkWork(method, args)) return sendRefusal(res, *refusal);
      const std::vector<Folder> readable = {{&root_, rootFd_.get(), kShownRoot},
                                            {&uploads_, uploadsFd_.get(), kShownUploads},
                                            {&outputs_, outputsFd_.get(), kShownOutputs}};
      const std::vector<Folder> writable = {{&outputs_, outputsFd_.get(), kShownOutputs}};
      for (const char* key : {"path", "destination"}) {
        if (!args.contains(key) || !args[key].is_string()) continue;
        const bool destination = std::strcmp(key, "destination") == 0;
        auto checked = resolvePath(key, args[key].get<std::string>(),
                                   destination ? writable : readable, destination);
        if (auto* refusal = std::get_if<Refusal>(&checked)) return sendRefusal(res, *refusal);
        Resolved& resolved = std::get<Resolved>(checked);
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
    if (reply.empty()) {
      body["notImplemented"] = true;
    } else {
      auto envelope = host::decodeEnvelope(reply);
      if (auto* result = std::get_if<host::EncodableValue>(&envelope)) {
        Json json = toPlainJson(*result);
        if (json.is_object() && json.contains("path") && json["path"].is_string() &&
            !outputPrefix.empty()) {
          // The plug-in names the file through the folder's descriptor; the page knows the
          // folder by its name.
          const std::string written = json["path"].get<std::string>();
          if (written.starts_with(outputPrefix)) {
            const std::string name = written.substr(outputPrefix.size());
            json["path"] = outputFolder + name;
            if (isInside(outputRealFolder + name, outputs_)) {
              body["url"] = issueOutput(outputRealFolder + name);
            }
          }
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
    host::Bytes reply;
    {
      Turn turn(*this);
      turn.wait(req.remote_port);
      reply = roundTrip({"metadata", host::EncodableValue(std::move(args))}).reply;
    }
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
      keepUploadsWithinLimits();
    }
    Json body = Json::object();
    body["photo"] = photoEntry(path, name);
    body["metadata"] = toPlainJson(std::get<host::EncodableValue>(envelope));
    sendJson(res, 200, std::move(body));
  }

  // Removes the oldest uploads until at most kMaxUploads files of kMaxUploadBytes in all are
  // kept. Called with mutex_ held.
  void keepUploadsWithinLimits() {
    uint64_t bytes = 0;
    for (const auto& upload : uploadNames_) {
      std::error_code ec;
      const auto size = fs::file_size(upload.first, ec);
      if (!ec) bytes += size;
    }
    while (uploadNames_.size() > 1 &&
           (uploadNames_.size() > kMaxUploads || bytes > kMaxUploadBytes)) {
      std::error_code ec;
      const auto size = fs::file_size(uploadNames_.front().first, ec);
      if (!ec) bytes -= std::min<uint64_t>(bytes, size);
      fs::remove(uploadNames_.front().first, ec);
      uploadNames_.pop_front();
    }
  }

  host::Engine& engine_;
  Diagnostics told_;  // on the main thread only
  const fs::path root_;
  TempFolder temp_;
  const std::string token_;
  fs::path uploads_;
  fs::path outputs_;
  FileDescriptor rootFd_;
  FileDescriptor uploadsFd_;
  FileDescriptor outputsFd_;
  std::mutex turnMutex_;
  std::condition_variable turnChanged_;
  uint64_t nextTicket_ = 0;
  uint64_t serving_ = 0;
  size_t waiting_ = 0;
  std::atomic<int> dropped_{0};
  int port_ = 0;
  std::atomic<int> uploadCount_{0};
  std::mutex mutex_;
  std::map<std::string, fs::path> outputsById_;
  std::map<std::string, std::string> idsByPath_;
  int nextOutputId_ = 1;
  std::deque<std::pair<fs::path, std::string>> uploadNames_;
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
