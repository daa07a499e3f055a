#pragma once

#include <string>

#include "grouptrace/fd_source.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// A trace file opened by path and closed when the source goes away.
class FileSource final : public FdSource {
 public:
  // Throws std::system_error naming the path when it cannot be opened.
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
};

}  // namespace grouptrace

#pragma GCC visibility pop
