// The playground's folders and what a request may name in them: the root folder of photos
// (read only), its own private temporary folders for uploads and outputs, how a path a page
// sends is resolved beneath one of them (never through a link, never by "..") and which
// uploads are taken and kept. The HTTP serving is cli/playground.cpp's.
#pragma once

#include <atomic>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "cli/json_values.h"
#include "platform/file_descriptor.h"

namespace velmo::cli {

// A request turned away: the HTTP status and the message the page shows.
struct Refusal {
  int status;
  std::string message;
};

// Whether |path| lies strictly beneath |folder| (both absolute and normal), by name.
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder);

// Whether |text| holds a ".." component.
bool hasDotDot(std::string_view text);

// An O_PATH descriptor of |relative| beneath the folder |folderFd|, resolved once and without
// following a symbolic link anywhere along it; -1 with errno when there is none.
int openBeneath(int folderFd, const std::string& relative, bool directory);

// Removes the temporary folders of earlier servers of this user that were killed before
// they could remove them.
void removeStaleFolders();

// A private folder (mode 0700) under $TMPDIR or /tmp, removed with everything in it when the
// owner goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix);
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The folders one server may use. Thread-safe: the connection threads share one.
class PlaygroundFiles {
 public:
  // The page knows the server's folders by these names only, never where they are.
  static constexpr const char* kShownRoot = "/photos";
  static constexpr const char* kShownUploads = "/uploads";
  static constexpr const char* kShownOutputs = "/outputs";

  // Makes the private folders, names this server in them and opens every folder once.
  explicit PlaygroundFiles(std::filesystem::path root);

  const std::filesystem::path& outputFolder() const { return outputs_; }
  bool isOutput(const std::filesystem::path& path) const { return isInside(path, outputs_); }

  // A path of a call, resolved once: what the page named (shown back to it) and what the
  // plug-in is given, a name under /proc/self/fd of the descriptor held here for the call, so
  // that swapping a folder or file for a link after the check changes nothing.
  struct Resolved {
    std::string shown;
    std::string forwarded;
    std::string heldPrefix;   // "/proc/self/fd/N/" of a destination's folder
    std::string shownFolder;  // that folder as the page names it, and as it is
    std::string realFolder;
    platform::FileDescriptor held;
  };

  // |given|, the value of argument |key|, resolved beneath a folder a call may read from (the
  // root, the uploads, the outputs) or, for a |destination|, write into (the outputs); or why
  // not.
  std::variant<Resolved, Refusal> resolve(const std::string& key, const std::string& given,
                                          bool destination) const;

  // {"name", "path"} of every photo the page may pick: the images under the root (a bounded
  // number, none through a link leading out of it), then the uploads kept.
  Json photos() const;
  // {"name": |name|, "path": |path| as the page names it}.
  Json photoEntry(const std::filesystem::path& path, const std::string& name) const;

  // An upload written into the uploads folder, not yet kept.
  struct Upload {
    int number;
    std::filesystem::path path;
  };
  // Writes |bytes| as a new upload when they are within the size limit and an image by their
  // signature; or why not.
  std::variant<Upload, Refusal> storeUpload(std::string_view bytes);
  // Removes an upload the plug-in cannot read.
  static void discardUpload(const Upload& upload);
  // Keeps |upload|, named by its number and the browser's file name |original|, removing the
  // oldest uploads past the limits; returns its photoEntry.
  Json keepUpload(const Upload& upload, std::string original);

 private:
  // A folder the server may use, with the descriptor every path under it is resolved from.
  struct Folder {
    const std::filesystem::path* path;
    int fd;
    const char* shownAs;
  };

  std::variant<Resolved, Refusal> resolveIn(const std::string& key, const std::string& given,
                                            std::initializer_list<Folder> folders,
                                            bool destination) const;
  // |path| under one of the server's folders as the page names it.
  std::string shownPath(const std::filesystem::path& path) const;
  // Called with mutex_ held.
  void keepUploadsWithinLimits();

  const std::filesystem::path root_;
  TempFolder temp_;
  std::filesystem::path uploads_;
  std::filesystem::path outputs_;
  platform::FileDescriptor rootFd_;
  platform::FileDescriptor uploadsFd_;
  platform::FileDescriptor outputsFd_;
  std::atomic<int> uploadCount_{0};
  mutable std::mutex mutex_;
  std::deque<std::pair<std::filesystem::path, std::string>> uploadNames_;
};

}  // namespace velmo::cli
