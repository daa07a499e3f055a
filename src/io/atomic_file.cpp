#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace grouptrace {
namespace {

FileError failure(std::string_view what, const std::string& path, int errnum) {
  return FileError(std::string(what) + " " + path + ": " + std::strerror(errnum), errnum);
}

mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// What "> FILE" writes: the file at the end of a chain of symbolic links,
// which need not exist yet. The link itself stays a link.
std::filesystem::path linkTarget(std::filesystem::path path) {
  std::error_code error;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(path, error); ++hops) {
    const auto next = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return path;
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  // Refused here, before a run spends its time on a trace it cannot keep.
  const std::filesystem::path target = linkTarget(path_);
  struct stat existing;
  if (stat(path_.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) throw failure("cannot write", path_, EISDIR);
    if (!S_ISREG(existing.st_mode)) {
      // A device or a pipe (/dev/null, a FIFO a reader waits on) holds no
      // content to keep, and replacing it by a file would break it for
      // everyone else: write into it as the shell's "> FILE" does.
      fd_ = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd_ < 0) throw failure("cannot write", path_, errno);
      return;
    }
    // A rename would replace a file its owner made read-only, where writing
    // into it (the shell's "> FILE") is refused.
    if (access(path_.c_str(), W_OK) != 0) throw failure("cannot write", path_, errno);
    // A replaced file keeps its permissions, as one written by "> FILE" does.
    mode_ = static_cast<int>(existing.st_mode & 07777);
  }
  directory_ = target.has_parent_path() ? target.parent_path().string() : std::string(".");
  std::string pattern = directory_ + "/." + target.filename().string() + ".XXXXXX";
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) throw failure("cannot create a file in", directory_, errno);
  temporary_ = pattern;
  target_ = target.string();
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) close(fd_);
  if (!committed_ && !temporary_.empty()) unlink(temporary_.c_str());
}

void AtomicFile::write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd_, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw failure("cannot write", path_, written < 0 ? errno : EIO);
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void AtomicFile::commit() {
  if (temporary_.empty()) {  // a device or a pipe, written in place
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) throw failure("cannot write", path_, errno);
    committed_ = true;
    return;
  }
  // mkstemp makes the file private; a new one should look like any file the
  // user creates, a replaced one like the file it replaces.
  if (fchmod(fd_, mode_ >= 0 ? static_cast<mode_t>(mode_) : newFileMode()) != 0 ||
      fsync(fd_) != 0) {
    throw failure("cannot write", path_, errno);
  }
  const int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) throw failure("cannot write", path_, errno);
  if (rename(temporary_.c_str(), target_.c_str()) != 0) {
    throw failure("cannot put the file in place at", path_, errno);
  }
  committed_ = true;
  // The rename itself is only durable once the directory is on disk too. Some
  // file systems cannot sync a directory (EINVAL): their rename is as durable
  // as they make it.
  const int dir = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) throw failure("cannot sync the directory of", path_, errno);
  const int synced = fsync(dir);
  const int syncError = errno;
  close(dir);
  if (synced != 0 && syncError != EINVAL) {
    throw failure("cannot sync the directory of", path_, syncError);
  }
}

}  // namespace grouptrace
