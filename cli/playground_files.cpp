#include "cli/playground_files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "cli/playground.h"

namespace velmo::cli {

namespace fs = std::filesystem;
using platform::FileDescriptor;

namespace {

constexpr const char* kImageExtensions[] = {".jpg",  ".jpeg", ".png",  ".gif",
                                            ".webp", ".heic", ".heif", ".avif"};
constexpr size_t kMaxListedPhotos = 1000;
// Uploads kept at once, in count and bytes; the oldest go first.
constexpr size_t kMaxUploads = 16;
constexpr size_t kMaxUploadBytes = 160u << 20;

std::string tempBase() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

}  // namespace

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

// Linux 5.6 and later do it in one openat2; older kernels get the same walk one component at
// a time.
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

// Each folder names its server's process, which no longer runs.
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

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = tempBase() + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  path_ = fs::canonical(pattern);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

PlaygroundFiles::PlaygroundFiles(fs::path root)
    : root_(std::move(root)), temp_("velmo-playground") {
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

std::string PlaygroundFiles::shownPath(const fs::path& path) const {
  for (const auto& [folder, shown] :
       {std::pair{&root_, kShownRoot}, {&uploads_, kShownUploads}, {&outputs_, kShownOutputs}}) {
    if (isInside(path, *folder)) {
      std::string named = shown;
      named += '/';
      named += path.lexically_relative(*folder).string();
      return named;
    }
  }
  return "";
}

Json PlaygroundFiles::photoEntry(const fs::path& path, const std::string& name) const {
  Json entry = Json::object();
  entry["name"] = name;
  entry["path"] = shownPath(path);
  return entry;
}

Json PlaygroundFiles::photos() const {
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
  std::lock_guard lock(mutex_);
  for (const auto& [path, name] : uploadNames_) photos.push_back(photoEntry(path, name));
  return photos;
}

std::variant<PlaygroundFiles::Resolved, Refusal> PlaygroundFiles::resolve(const std::string& key,
                                                                          const std::string& given,
                                                                          bool destination) const {
  if (destination) {
    return resolveIn(key, given, {{&outputs_, outputsFd_.get(), kShownOutputs}}, true);
  }
  return resolveIn(key, given,
                   {{&root_, rootFd_.get(), kShownRoot},
                    {&uploads_, uploadsFd_.get(), kShownUploads},
                    {&outputs_, outputsFd_.get(), kShownOutputs}},
                   false);
}

// Refused: NUL bytes, ".." components (also once %XX escapes are decoded), relative paths,
// places outside the folders, and symbolic links anywhere beneath the folder. A destination is
// its folder (resolved so) and a name; the files the plug-in will write there (with ".png" or
// ".jpg") must not be links.
std::variant<PlaygroundFiles::Resolved, Refusal> PlaygroundFiles::resolveIn(
    const std::string& key, const std::string& given, std::initializer_list<Folder> folders,
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
  resolved.held = FileDescriptor(openBeneath(base->fd, relativePath.parent_path().string(), true));
  if (!resolved.held.valid()) {
    if (errno == ELOOP || errno == EXDEV) return refuse("leads to a link");
    return refuse("names a folder that cannot be used: " + std::string(std::strerror(errno)));
  }
  for (const char* extension : {".png", ".jpg"}) {
    struct stat st {};
    if (::fstatat(resolved.held.get(), (name + extension).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
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

std::variant<PlaygroundFiles::Upload, Refusal> PlaygroundFiles::storeUpload(
    std::string_view bytes) {
  if (bytes.size() > kPlaygroundMaxUpload) {
    return Refusal{413, "refused: uploads are limited to " +
                            std::to_string(kPlaygroundMaxUpload >> 20) + " MiB"};
  }
  const std::string type = sniffImageType(bytes);
  if (type.empty()) {
    return Refusal{415, "refused: not a JPEG, PNG, GIF, WebP, HEIF or AVIF file"};
  }
  const int number = ++uploadCount_;
  Upload upload{number, uploads_ / ("upload-" + std::to_string(number) + "." + type)};
  FileDescriptor fd(::open(upload.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return Refusal{500, "cannot store the upload"};
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  fd.reset();
  if (done < bytes.size()) {
    discardUpload(upload);
    return Refusal{500, "cannot store the upload"};
  }
  return upload;
}

void PlaygroundFiles::discardUpload(const Upload& upload) {
  fs::remove(upload.path);
}

Json PlaygroundFiles::keepUpload(const Upload& upload, std::string original) {
  original.erase(std::remove_if(original.begin(), original.end(),
                                [](unsigned char c) { return c < 0x20 || c == 0x7f; }),
                 original.end());
  if (original.size() > 80) original.resize(80);
  const std::string name =
      "upload " + std::to_string(upload.number) + (original.empty() ? "" : " (" + original + ")");
  {
    std::lock_guard lock(mutex_);
    uploadNames_.emplace_back(upload.path, name);
    keepUploadsWithinLimits();
  }
  return photoEntry(upload.path, name);
}

// Removes the oldest uploads until at most kMaxUploads files of kMaxUploadBytes in all are
// kept.
void PlaygroundFiles::keepUploadsWithinLimits() {
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

}  // namespace velmo::cli
