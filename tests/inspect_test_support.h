#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
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

struct ChildResult {
  int status = -1;  // the exit status, or -1 when the process ended by a signal
  int signal = 0;
  std::string err;
};

// Starts `argv` (no shell; argv[0] a path) with `inFd` and `outFd` as its
// standard input and output and its standard error captured, calls
// `whileRunning` with its process id, then waits for it. The descriptors
// passed must be the only ones the child should keep: others are expected to
// be close-on-exec.
ChildResult runChild(const std::vector<std::string>& argv, int inFd, int outFd,
                     const std::function<void(pid_t)>& whileRunning = {});

// A file system of `size` (mount's form, "64k") mounted on `path` for the
// life of the object: a disk that fills up. Mounting needs privileges a
// test may not have; mounted() says whether it worked.
class SmallDisk {
 public:
  SmallDisk(const std::filesystem::path& path, const std::string& size);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }
  // Writes a file of that name until the disk is full.
  void fill(const std::string& name) const;

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
};

#ifdef GROUPTRACE_LAUNCHER
// A built program as a shell command, through the emulator where the build is
// for another platform.
inline std::string launched(const char* program) {
  const std::string launcher = GROUPTRACE_LAUNCHER;
  // Appended, not added: GCC 12 warns wrongly about a copy in `x + ' '`.
  std::string command;
  if (!launcher.empty()) {
    command = shellQuoted(launcher);
    command += ' ';
  }
  command += shellQuoted(program);
  return command;
}
#endif

}  // namespace grouptrace::testing
