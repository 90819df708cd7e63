// Writing a whole file so that its path never shows a partial one.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velmo::platform {

// Writes |data| to |path| all or nothing: the bytes go to a temporary file in the same
// directory (".<name>.<random>.tmp", created with mode 0666 less the umask), are flushed to
// the disk, and the temporary then replaces |path| in one rename; the directory is flushed
// last. A file or symbolic link already at |path| is replaced; a directory there is not.
// Directories are never created.
//
// Throws std::system_error (generic category) whose what() reads "write PATH: reason", with
// the first error met (a NUL in PATH is shown as "\0"); a path holding a NUL byte gives
// EINVAL and touches nothing. On every failure the temporary file is removed and whatever
// was at |path| is left as it was.
void writeFileAtomically(const std::string& path, std::span<const uint8_t> data);

}  // namespace velmo::platform
