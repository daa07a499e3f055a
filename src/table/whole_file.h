#pragma once

#include <string>

#include "grouptrace/byte_sink.h"

namespace grouptrace {

// Writes a file that is there whole or not at all: the text goes to a
// temporary file beside it, which replaces the file only once it is complete,
// so a failed or interrupted write never leaves half a trace under the name
// (nor destroys the trace that was there). A path that names something other
// than a regular file (/dev/null, a pipe, a terminal) is written directly, as
// it cannot be replaced, and so is an existing file in a directory where no
// temporary file may be made. A symbolic link is followed: its target is
// replaced (or created, for a link whose target does not exist yet).
//
// Every failure throws std::system_error whose code is the errno and whose
// what() names the path.
class WholeFile {
 public:
  explicit WholeFile(std::string path);
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~WholeFile();

  ByteSink& sink() { return sink_; }
  // Closes the file and puts it in place.
  void commit();

 private:
  // Writes to the descriptor; failures are reported against the path.
  class Sink final : public ByteSink {
   public:
    explicit Sink(WholeFile& file) : file_(file) {}
    void write(const char* data, std::size_t size) override;

   private:
    WholeFile& file_;
  };

  // Writes to the target as it is; `flags` adds to the opening's.
  void openDirectly(int flags);
  [[noreturn]] void fail(int errnum) const;

  std::string path_;       // what the caller named
  std::string target_;     // what gets replaced: path_ with its links followed
  std::string temporary_;  // empty when writing directly
  int fd_ = -1;
  Sink sink_{*this};
};

}  // namespace grouptrace
