#include "inspect_test_support.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace grouptrace::testing {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::filesystem::path> goldenTraces() {
  std::vector<std::filesystem::path> traces;
  for (const auto& entry : std::filesystem::directory_iterator(GROUPTRACE_GOLDEN_DIR)) {
    if (entry.path().extension() == ".out") traces.push_back(entry.path());
  }
  std::sort(traces.begin(), traces.end());
  return traces;
}

ScratchDir::ScratchDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "grouptrace-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a scratch directory");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

CommandResult runCommand(const std::string& commandLine, const ScratchDir& scratch) {
  const auto out = scratch / "command.out";
  const auto err = scratch / "command.err";
  const std::string full =
      "(" + commandLine + ") >" + shellQuoted(out.string()) + " 2>" + shellQuoted(err.string());
  const int raw = std::system(full.c_str());
  CommandResult result;
  if (raw != -1 && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  result.out = readFile(out);
  result.err = readFile(err);
  return result;
}

ChildResult runChild(const std::vector<std::string>& argv, int inFd, int outFd,
                     const std::function<void(pid_t)>& whileRunning) {
  std::FILE* err = std::tmpfile();
  if (err == nullptr) throw std::runtime_error("tmpfile failed");
  std::vector<std::string> copies = argv;
  std::vector<char*> args;
  for (auto& a : copies) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 || dup2(fileno(err), 2) < 0) _exit(127);
    execv(args[0], args.data());
    _exit(127);
  }
  if (whileRunning) whileRunning(pid);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  ChildResult result;
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  std::rewind(err);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, err)) > 0;) {
    result.err.append(buffer, n);
  }
  std::fclose(err);
  return result;
}

SmallDisk::SmallDisk(const std::filesystem::path& path, const std::string& size) : path_(path) {
  std::filesystem::create_directories(path_);
  const std::string options = "size=" + size;
  mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

SmallDisk::~SmallDisk() {
  if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
}

void SmallDisk::fill(const std::string& name) const {
  const int fd = ::open((path_ / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + name);
  const std::string block(4096, 'f');
  // Whole blocks, then single bytes, until nothing more fits.
  for (std::size_t size = block.size(); size > 0;) {
    if (::write(fd, block.data(), size) < 0) {
      if (errno != ENOSPC) break;
      size /= 2;
    }
  }
  ::close(fd);
}

}  // namespace grouptrace::testing
