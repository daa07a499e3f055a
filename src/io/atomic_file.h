#pragma once

#include <string>
#include <string_view>

#include "io/fd_io.h"

namespace grouptrace {

// A file that appears under its name whole or not at all: the text goes to a
// temporary file in the same directory, which is renamed over the name only
// once it is complete and on disk. Until then an existing file of that name is
// left exactly as it was, and whatever ends the writing early (an exception, a
// failed write, a run that must not leave its output) removes the temporary
// file. Only a process killed outright can leave one behind, named
// ".NAME.XXXXXX" beside NAME (NAME cut short where the whole would not fit in
// a file name). A device or a pipe (/dev/null, a FIFO) is written in place: it
// has no content to keep and must stay what it is.
//
// Everything that can be checked before the text is written is checked in the
// constructor (the name, the directory, which must be readable so that the
// rename can be made durable), so that a run does not spend its time on output
// it cannot keep. Messages show the name escaped (see shownText).
class AtomicFile {
 public:
  enum class Start {
    now,           // create the temporary file in the constructor
    atFirstWrite,  // only at the first write() or fd(): nothing is left on disk
                   // by a process that ends before it writes (a pipe closed early)
  };

  // Throws IoError when the name cannot be written: a directory, a file
  // without write permission, no such directory, a loop of symbolic links.
  explicit AtomicFile(std::string path, Start start = Start::now);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& path() const { return path_; }
  // False for a device or a pipe, where what was written stays written.
  bool keepsOldContent() const { return !inPlace_; }
  // The temporary file's descriptor, for writers of their own; creates the
  // file if it was deferred. Throws IoError.
  int fd();

  // Writes all of `text`; throws IoError.
  void write(std::string_view text);

  // Gives the file the permissions of the file it replaces, or of one newly
  // created by this user, flushes
  // it to disk, renames it over the name and makes the rename durable. Throws
  // IoError; the name then holds what it held before.
  void commit();

 private:
  friend void commitTogether(AtomicFile& first, AtomicFile& second);

  void create();
  // commit() in its steps, for a pair that must change together.
  void prepare();  // permissions, on disk, closed
  // Renames the file over its name; with `keepOld`, keeps what the name held
  // under the temporary name, where putBack() can restore it from.
  void putInPlace(bool keepOld);
  // Undoes putInPlace; false when what the name held is gone.
  bool putBack();
  void dropOld();
  void syncDirectory();

  std::string path_;
  std::string target_;  // path_, or the file a symbolic link there names
  std::string directory_;
  std::string pattern_;    // of the temporary file's name, for mkstemp
  std::string temporary_;  // its name once created
  int fd_ = -1;
  // The directory, open from the start: one that cannot be opened must fail
  // the run before the rename, not after it.
  int directoryFd_ = -1;
  bool inPlace_ = false;
  bool committed_ = false;
  // The permissions of the file replaced; -1 for a new file.
  int mode_ = -1;
  // After putInPlace(true): the name's old file is under temporary_, or the
  // name held none.
  bool oldKept_ = false;
  bool createdNew_ = false;
};

// Commits two files as a pair, a trace and the record that describes it: both
// are complete and on disk before either is put in place; they are put in
// place while their folders are locked (flock), which every commit of a pair
// takes, so that two runs writing the same pair cannot interleave their
// renames; and when the second cannot be put in place, the first gets back
// what its name held. Throws IoError; both names then hold what they held
// before, unless the message says the first could not be put back (a file
// system that cannot exchange two names).
void commitTogether(AtomicFile& first, AtomicFile& second);

// Whether writing `a` and writing `b` would write one file: each is resolved
// as the writer resolves it, through symbolic links that need not lead to a
// file yet, and folders given two ways ("d/../d").
bool writesSameFile(const std::string& a, const std::string& b);

// Whether `output` names the regular file that `input` (a descriptor read
// from) is: writing it would replace the input. False when either is not a
// regular file, or `output` does not exist yet.
bool isSameFile(const std::string& output, int input);
// The same for an input given by name.
bool isSameFile(const std::string& output, const std::string& input);

}  // namespace grouptrace
