#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "formats/trace/trace_writer.h"
#include "formats/trace_output.h"
#include "grouptrace/byte_sink.h"

namespace grouptrace::testing {

Parameters exampleParameters() {
  Parameters p;
  p.nNodes = 3;
  p.nSessions = 2;
  p.maxTrans = 6;
  p.currTrans = 0;
  p.avgSize = 2;
  p.nQoSLevels = 1;
  p.maxBand = 100;
  p.minBand = 10;
  p.minDelay = 1;
  p.maxDelay = 5;
  p.minHops = 1;
  p.maxHops = 4;
  p.orderedJoinLeave = 1;
  return p;
}

namespace {

// The build's output, writing into memory: a stream, or a sink for blocks.
template <class Output>
Output memoryOutput(std::ostringstream& stream, StringSink& sink) {
  if constexpr (std::is_same_v<Output, StreamOutput>) {
    return Output(stream);
  } else {
    return Output(sink);
  }
}

}  // namespace

CapturedTrace::CapturedTrace()
    : output_(memoryOutput<TraceOutput>(stream_, sink_)), writer_(output_) {
}

std::string CapturedTrace::text() {
  writer_.flush();
  return kBaselineBuild ? stream_.str() : sink_.text();
}

std::string generateTrace(const Parameters& parameters, SEED_type seed, RunStatus* status) {
  CapturedTrace trace;
  Creation creation(parameters);
  const RunStatus s = creation.run(seed, trace.writer()).status;
  if (status != nullptr) *status = s;
  return trace.text();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string temporaryPath(const char* stem) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/" + stem + "XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  return pattern;
}

// Starts the built generator with standard error going to `errFile`, runs
// `prepare` in the child before the program replaces it (system calls only: the
// parent may run threads), and waits for it.
template <class Prepare>
ProcessResult runProgram(const std::vector<std::string>& args, const std::string& errFile,
                         Prepare prepare) {
  std::vector<char*> argv;
  std::string launcher = GROUPTRACE_LAUNCHER;
  if (!launcher.empty()) argv.push_back(launcher.data());
  std::string program = GROUPTRACE_BINARY;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(errFile.c_str(), O_WRONLY | O_TRUNC);
    if (err < 0 || dup2(err, 2) < 0 || !prepare()) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  rusage usage{};
  wait4(pid, &wstatus, 0, &usage);

  ProcessResult result;
  result.err = readFile(errFile);
  if (WIFEXITED(wstatus)) result.exitStatus = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  result.peakKiB = usage.ru_maxrss;
  return result;
}

}  // namespace

ProcessResult runGrouptrace(const std::vector<std::string>& args, const std::string& input,
                            const char* outPath, std::size_t addressSpace) {
  const std::string inFile = temporaryPath("grouptrace-in");
  const std::string outFile = outPath != nullptr ? outPath : temporaryPath("grouptrace-out");
  const std::string errFile = temporaryPath("grouptrace-err");
  std::ofstream(inFile, std::ios::binary) << input;

  ProcessResult result = runProgram(args, errFile, [&] {
    const int in = open(inFile.c_str(), O_RDONLY);
    const int out = open(outFile.c_str(), O_WRONLY | O_TRUNC);
    if (in < 0 || out < 0) return false;
    if (addressSpace != 0) {
      const rlimit limit{addressSpace, addressSpace};
      if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
    }
    return dup2(in, 0) >= 0 && dup2(out, 1) >= 0;
  });
  if (outPath == nullptr) result.out = readFile(outFile);
  std::remove(inFile.c_str());
  std::remove(errFile.c_str());
  if (outPath == nullptr) std::remove(outFile.c_str());
  return result;
}

ProcessResult runGrouptraceOn(const std::vector<std::string>& args, int inFd, int outFd,
                              unsigned timeoutSeconds) {
  const std::string errFile = temporaryPath("grouptrace-err");
  const auto attach = [](int fd, int target) {
    return fd < 0 ? close(target) == 0 || errno == EBADF : dup2(fd, target) >= 0;
  };
  ProcessResult result = runProgram(args, errFile, [&] {
    if (!attach(inFd, 0) || !attach(outFd, 1)) return false;
    alarm(timeoutSeconds);
    return true;
  });
  std::remove(errFile.c_str());
  return result;
}

}  // namespace grouptrace::testing
