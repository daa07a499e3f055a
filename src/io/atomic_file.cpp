#include "io/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <utility>
#include <vector>

#include "common/message_text.h"

namespace grouptrace {
namespace {

IoError failure(std::string_view what, const std::string& path, int errnum) {
  return IoError(std::string(what) + " " + shownPath(path) + ": " + std::strerror(errnum), errnum,
                 path);
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

// ".NAME.XXXXXX" for mkstemp, NAME cut so that the whole fits in a file name
// of the directory: a NAME of 248 bytes or more would otherwise be refused.
std::string temporaryPattern(const std::string& directory, const std::string& name) {
  static constexpr std::string_view kSuffix = ".XXXXXX";
  const long limit = pathconf(directory.c_str(), _PC_NAME_MAX);
  const std::size_t nameMax = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
  const std::size_t room = nameMax > kSuffix.size() + 1 ? nameMax - kSuffix.size() - 1 : 0;
  return directory + "/." + name.substr(0, room) + std::string(kSuffix);
}

// fsync of a directory is refused by some file systems and mounts, whose
// rename is then as durable as they make it; any other error is real.
bool directorySyncUnsupported(int errnum) {
  return errnum == EINVAL || errnum == EROFS || errnum == ENOTSUP || errnum == EOPNOTSUPP;
}

}  // namespace

AtomicFile::AtomicFile(std::string path, Start start) : path_(std::move(path)) {
  // Refused here, before a run spends its time on a trace it cannot keep.
  const std::filesystem::path target = linkTarget(path_);
  struct stat existing;
  if (stat(path_.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) throw failure("cannot write", path_, EISDIR);
    if (!S_ISREG(existing.st_mode)) {
      // A device or a pipe (/dev/null, a FIFO a reader waits on) holds no
      // content to keep, and replacing it by a file would break it for
      // everyone else: write into it as the shell's "> FILE" does.
      inPlace_ = true;
      if (start == Start::now) create();
      return;
    }
    // A rename would replace a file its owner made read-only, where writing
    // into it (the shell's "> FILE") is refused.
    if (access(path_.c_str(), W_OK) != 0) throw failure("cannot write", path_, errno);
    // A replaced file keeps its permissions, as one written by "> FILE" does.
    mode_ = static_cast<int>(existing.st_mode & 07777);
  } else if (errno != ENOENT) {
    // A loop of links, a name too long, a path through a file: the shell's
    // "> FILE" fails on these too, and a rename would replace a link of the
    // loop by a regular file.
    throw failure("cannot write", path_, errno);
  }
  directory_ = target.has_parent_path() ? target.parent_path().string() : std::string(".");
  target_ = target.string();
  pattern_ = temporaryPattern(directory_, target.filename().string());
  directoryFd_ = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd_ < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      throw failure("cannot create a file in", directory_, errno);
    }
    throw failure("cannot open the directory", directory_, errno);
  }
  // The destructor does not run for a constructor that throws.
  try {
    if (start == Start::now) {
      create();
    } else if (access(directory_.c_str(), W_OK | X_OK) != 0) {
      throw failure("cannot create a file in", directory_, errno);
    }
  } catch (...) {
    close(directoryFd_);
    throw;
  }
}

void AtomicFile::create() {
  if (inPlace_) {
    fd_ = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) throw failure("cannot write", path_, errno);
    return;
  }
  std::string pattern = pattern_;
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) throw failure("cannot create a file in", directory_, errno);
  temporary_ = pattern;
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) close(fd_);
  if (directoryFd_ >= 0) close(directoryFd_);
  if ((!committed_ || oldKept_) && !temporary_.empty()) unlink(temporary_.c_str());
}

int AtomicFile::fd() {
  if (fd_ < 0 && !committed_) create();
  return fd_;
}

void AtomicFile::write(std::string_view text) {
  if (const int errnum = writeAll(fd(), text.data(), text.size())) {
    throw failure("cannot write", path_, errnum);
  }
}

void AtomicFile::commit() {
  prepare();
  putInPlace(false);
  syncDirectory();
}

void AtomicFile::prepare() {
  fd();  // a file with no text is still written
  // mkstemp makes the file private; a new one should look like any file the
  // user creates, a replaced one like the file it replaces. A device or a
  // pipe is written in place and only closed.
  if (!inPlace_ && (fchmod(fd_, mode_ >= 0 ? static_cast<mode_t>(mode_) : newFileMode()) != 0 ||
                    fsync(fd_) != 0)) {
    throw failure("cannot write", path_, errno);
  }
  const int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) throw failure("cannot write", path_, errno);
}

void AtomicFile::putInPlace(bool keepOld) {
  if (inPlace_) {
    committed_ = true;
    return;
  }
  struct stat existing;
  const bool replaces = stat(target_.c_str(), &existing) == 0;
  // Exchanged, the old file stays whole under the temporary name until the
  // pair is known to be in place; a file system that cannot exchange names
  // gets a plain rename.
  if (keepOld && replaces &&
      renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) {
    oldKept_ = true;
  } else if (rename(temporary_.c_str(), target_.c_str()) != 0) {
    throw failure("cannot put the file in place at", path_, errno);
  }
  createdNew_ = !replaces;
  committed_ = true;
}

bool AtomicFile::putBack() {
  if (inPlace_) return true;  // a device keeps no content to restore
  if (oldKept_) {
    if (renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) != 0) {
      return false;
    }
    oldKept_ = false;
  } else if (!createdNew_ || rename(target_.c_str(), temporary_.c_str()) != 0) {
    return false;
  }
  committed_ = false;  // the temporary name holds the new text, removed with the object
  fsync(directoryFd_);
  return true;
}

void AtomicFile::dropOld() {
  if (oldKept_ && unlink(temporary_.c_str()) == 0) oldKept_ = false;
}

void AtomicFile::syncDirectory() {
  if (inPlace_) return;
  // The rename itself is only durable once the directory is on disk too.
  if (fsync(directoryFd_) != 0 && !directorySyncUnsupported(errno)) {
    throw failure("cannot sync the directory of", path_, errno);
  }
}

namespace {

// Exclusive locks on folders, taken in one order (device, inode) by every
// process so that two pairs cannot wait for each other, and a folder locked
// once however many of the files are in it: a second flock of the same
// folder through another descriptor would wait for the first forever. Where
// the file system has no such locks the pair is committed without.
class FolderLocks {
 public:
  explicit FolderLocks(std::initializer_list<int> folders) {
    std::vector<std::pair<std::pair<dev_t, ino_t>, int>> order;
    for (const int fd : folders) {
      struct stat st;
      if (fd >= 0 && fstat(fd, &st) == 0) order.push_back({{st.st_dev, st.st_ino}, fd});
    }
    std::sort(order.begin(), order.end());
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i > 0 && order[i].first == order[i - 1].first) continue;
      if (retryInterrupted([&] { return flock(order[i].second, LOCK_EX); }) == 0)
        held_.push_back(order[i].second);
    }
  }
  ~FolderLocks() {
    for (const int fd : held_) flock(fd, LOCK_UN);
  }
  FolderLocks(const FolderLocks&) = delete;
  FolderLocks& operator=(const FolderLocks&) = delete;

 private:
  std::vector<int> held_;
};

}  // namespace

void commitTogether(AtomicFile& first, AtomicFile& second) {
  first.prepare();
  second.prepare();
  const FolderLocks locks{first.directoryFd_, second.directoryFd_};
  first.putInPlace(true);
  try {
    second.putInPlace(false);
  } catch (const IoError& e) {
    if (!first.putBack()) {
      throw IoError(std::string(e.what()) + "; " + shownPath(first.path()) +
                        " was replaced already and could not be put back",
                    e.errnum(), e.path());
    }
    throw;
  }
  first.dropOld();
  first.syncDirectory();
  second.syncDirectory();
}

bool writesSameFile(const std::string& a, const std::string& b) {
  const auto resolved = [](const std::string& path) {
    std::error_code error;
    const std::filesystem::path target = linkTarget(path);
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(target, error);
    return error ? target.lexically_normal() : canonical;
  };
  return resolved(a) == resolved(b);
}

namespace {

bool sameRegularFile(const struct stat& a, const struct stat& b) {
  return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool isSameFile(const std::string& output, int input) {
  struct stat out, in;
  return stat(output.c_str(), &out) == 0 && fstat(input, &in) == 0 && sameRegularFile(out, in);
}

bool isSameFile(const std::string& output, const std::string& input) {
  struct stat out, in;
  return stat(output.c_str(), &out) == 0 && stat(input.c_str(), &in) == 0 &&
         sameRegularFile(out, in);
}

}  // namespace grouptrace
