#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace grouptrace::testing {

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

// The stored traces, NNN.out, in name order.
std::vector<std::filesystem::path> goldenTraces();

// A directory of its own for one test, removed with the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int status = -1;  // the exit status, or -1 when the command did not exit normally
  std::string out;
  std::string err;
};

// Runs a shell command line with its standard output and error captured.
CommandResult runCommand(const std::string& commandLine, const ScratchDir& scratch);

// The path quoted for a POSIX shell.
std::string shellQuoted(const std::string& text);

}  // namespace grouptrace::testing
