#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace grouptrace {

// A file that could not be created, written or put in place; what() names it.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& message, int errnum)
      : std::runtime_error(message), errnum_(errnum) {}
  // The errno of the failed call.
  int errnum() const { return errnum_; }

 private:
  int errnum_;
};

// A file that appears under its name whole or not at all: the text goes to a
// temporary file in the same directory, which is renamed over the name only
// once it is complete and on disk. Until then an existing file of that name is
// left exactly as it was, and whatever ends the writing early (an exception, a
// failed write, a run that must not leave its output) removes the temporary
// file. Only a process killed outright can leave one behind, named
// ".NAME.XXXXXX" beside NAME. A device or a pipe (/dev/null, a FIFO) is
// written in place: it has no content to keep and must stay what it is.
class AtomicFile {
 public:
  // Creates the temporary file; throws FileError when the name cannot be
  // written (a directory, a file without write permission, no such directory).
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& path() const { return path_; }
  // False for a device or a pipe, where what was written stays written.
  bool keepsOldContent() const { return !temporary_.empty(); }
  // The temporary file's descriptor, for writers of their own.
  int fd() const { return fd_; }

  // Writes all of `text`; throws FileError.
  void write(std::string_view text);

  // Gives the file the permissions of the file it replaces, or of one newly
  // created by this user, flushes
  // it to disk, renames it over the name and makes the rename durable. Throws
  // FileError; the name then holds what it held before.
  void commit();

 private:
  std::string path_;
  std::string target_;  // path_, or the file a symbolic link there names
  std::string directory_;
  std::string temporary_;
  int fd_ = -1;
  bool committed_ = false;
  // The permissions of the file replaced; -1 for a new file.
  int mode_ = -1;
};

}  // namespace grouptrace
