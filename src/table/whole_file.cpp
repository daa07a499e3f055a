#include "table/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace grouptrace {
namespace {

// Distinguishes the temporary files of several writers in one process.
std::atomic<unsigned> temporaryCount{0};

int openNew(const std::string& path) {
  // 0666 leaves the permissions to the umask, as for any file a program creates.
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

// The path with its symbolic links followed; empty for a link that leads
// nowhere (yet).
std::string followLinks(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace

WholeFile::WholeFile(std::string path) : path_(std::move(path)), target_(followLinks(path_)) {
  if (path_.empty()) fail(ENOENT);
  if (target_.empty()) {
    // A dangling link: writing through it creates its target, as a program
    // opening the path would, rather than replacing the link.
    target_ = path_;
    openDirectly(O_CREAT);
    return;
  }
  struct stat st;
  const bool exists = ::stat(target_.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    openDirectly(0);
    return;
  }
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  for (int attempt = 0;; ++attempt) {
    temporary_ = dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
                 std::to_string(temporaryCount.fetch_add(1));
    fd_ = openNew(temporary_);
    if (fd_ >= 0) break;
    const int errnum = errno;
    // Only a clash with a leftover of an earlier process is worth another name.
    if (errnum == EEXIST && attempt < 100) continue;
    temporary_.clear();
    // A file one may write in a directory one may not add to is still
    // written, in place, as a program writing it directly would.
    if (exists && errnum == EACCES) {
      openDirectly(0);
      return;
    }
    fail(errnum);
  }
  // A trace that replaces another keeps the permissions the old one was given.
  if (exists) (void)::fchmod(fd_, st.st_mode & 07777);
}

WholeFile::~WholeFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void WholeFile::openDirectly(int flags) {
  fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | flags, 0666);
  if (fd_ < 0) fail(errno);
}

void WholeFile::fail(int errnum) const {
  throw std::system_error(errnum, std::generic_category(), path_);
}

void WholeFile::Sink::write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(file_.fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      file_.fail(errno);
    }
    if (written == 0) file_.fail(EIO);
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void WholeFile::commit() {
  const int fd = fd_;
  fd_ = -1;
  // Some file systems only report a failed write when the file is closed.
  if (::close(fd) != 0 && errno != EINTR) fail(errno);
  if (temporary_.empty()) return;
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) fail(errno);
  temporary_.clear();
}

}  // namespace grouptrace
