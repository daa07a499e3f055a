// The program on its standard streams as other processes leave them: input that
// never ends, cannot be read or holds values of great length, and an output
// descriptor that is non-blocking.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "generator/build_config.h"
#include "io/pipe_size.h"
#include "test_support.h"

namespace grouptrace {
namespace {

using testing::ProcessResult;
using testing::runGrouptrace;
using testing::runGrouptraceOn;

const std::string kStream = "10\n2\n100\n0\n3\n1\n150\n10\n1\n5\n1\n4\n0\n";

// Writes everything to fd, and reports whether the reader took it all.
bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string contents(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

// A child process that writes into a pipe whatever `feed` writes to the
// descriptor it gets; the read end is `readEnd()`. A reader that stops early
// ends the child by SIGPIPE.
class Feeder {
 public:
  template <class Feed>
  explicit Feeder(Feed feed) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      signal(SIGPIPE, SIG_DFL);
      feed(fds[1]);
      _exit(0);
    }
    close(fds[1]);
    readEnd_ = fds[0];
  }
  ~Feeder() {
    close(readEnd_);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  int readEnd() const { return readEnd_; }

 private:
  pid_t pid_;
  int readEnd_;
};

// Writes `count` copies of c, a megabyte at a time.
void feedRepeated(int fd, char c, std::size_t count) {
  const std::string chunk(std::size_t{1} << 20, c);
  while (count > 0) {
    const std::size_t n = std::min(count, chunk.size());
    if (!writeAll(fd, chunk.data(), n)) return;
    count -= n;
  }
}

// A bad value is refused as soon as it is seen to be bad: the rest of its line,
// however long, is not read. Each of these streams never ends.
TEST(ProgramInput, InputWithoutEndIsRefusedAtItsFirstBadValue) {
  const int zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(zero, 0);
  ProcessResult r = runGrouptraceOn({"1"}, zero, -1, 10);
  close(zero);
  EXPECT_EQ(r.exitStatus, 2) << "signal " << r.signal;
  EXPECT_EQ(r.err, "grouptrace: line 1, value 1 (nNodes): expected a number, found \"\\x00\"\n");

  for (const char* start : {"abc", "10\n2\n1e999"}) {
    SCOPED_TRACE(start);
    const Feeder endlessLine([start](int fd) {
      if (!writeAll(fd, start, std::strlen(start))) return;
      for (;;) feedRepeated(fd, 'x', std::size_t{1} << 30);
    });
    r = runGrouptraceOn({"1"}, endlessLine.readEnd(), -1, 10);
    EXPECT_EQ(r.exitStatus, 2) << "signal " << r.signal;
    EXPECT_NE(r.err.find("value"), std::string::npos) << r.err;
  }
}

TEST(ProgramInput, ReadErrorsAreReportedAsSuch) {
  ProcessResult r = runGrouptraceOn({"1"}, -1, -1, 10);
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err,
            "grouptrace: line 1, value 1 (nNodes): cannot read the parameter stream: Bad file "
            "descriptor\n");

  const int directory = open("/", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  r = runGrouptraceOn({"1"}, directory, -1, 10);
  close(directory);
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("cannot read the parameter stream: Is a directory"), std::string::npos)
      << r.err;
}

// Leading zeros of the mantissa and of the exponent are read without being
// kept: values of many megabytes leave the program's memory as it was.
TEST(ProgramInput, ValuesOfGreatLengthTakeNoMemory) {
  constexpr std::size_t kZeros = std::size_t{8} << 20;
  const Feeder longValues([](int fd) {
    feedRepeated(fd, '0', kZeros);              // nNodes: 000...010
    if (!writeAll(fd, "10\n2\n1e", 7)) return;  // maxTrans: 1e000...02
    feedRepeated(fd, '0', kZeros);
    const std::string rest = kStream.substr(kStream.find("\n0\n3\n"));
    if (!writeAll(fd, "2", 1) || !writeAll(fd, rest.data(), rest.size())) return;
  });
  std::FILE* const out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  const ProcessResult r = runGrouptraceOn({"7"}, longValues.readEnd(), fileno(out), 60);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const ProcessResult small = runGrouptrace({"7"}, kStream);
  EXPECT_TRUE(contents(out) == small.out) << "the trace differs";
  std::fclose(out);
  // Holding either value would take 8 MiB at least.
  EXPECT_LT(r.peakKiB, small.peakKiB + 4 * 1024) << small.peakKiB;
}

// A descriptor left non-blocking by a parent refuses writes while the pipe is
// full; the trace must wait for its reader instead of failing.
TEST(ProgramOutput, ANonBlockingPipeGetsTheWholeTrace) {
  if (kBaselineBuild) GTEST_SKIP() << "the straightforward build writes through iostreams";
  // Larger than the megabyte the program asks of its pipe, so that it still fills.
  const std::string big = "100\n10\n60000\n0\n5\n1\n100\n10\n1\n5\n1\n4\n0\n";
  const ProcessResult expected = runGrouptrace({"3"}, big);
  ASSERT_EQ(expected.exitStatus, 0);
  ASSERT_GT(expected.out.size(), kStreamPipeBytes + (std::size_t{512} << 10));

  const Feeder input([&big](int fd) { writeAll(fd, big.data(), big.size()); });
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
  std::string received;
  std::thread slowReader([&received, fd = fds[0]] {
    // Late and slow at first, so that the pipe fills many times over.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buffer[16384];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(n));
      if (received.size() < (std::size_t{1} << 20)) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    }
  });
  const ProcessResult r = runGrouptraceOn({"3"}, input.readEnd(), fds[1], 60);
  close(fds[1]);
  slowReader.join();
  close(fds[0]);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(received == expected.out)
      << "received " << received.size() << " of " << expected.out.size() << " bytes";
}

// The capacity a pipe of this process can be given: the request succeeds where
// the system allows it, and 0 means it does not here (a quota, an old kernel).
int grownPipeCapacity() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 0;
  const int grown = fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kStreamPipeBytes));
  close(fds[0]);
  close(fds[1]);
  return grown < 0 ? 0 : grown;
}

TEST(PipeSize, GrowsAPipeAndLeavesOtherDescriptorsAlone) {
  const int expected = grownPipeCapacity();
  if (expected == 0) GTEST_SKIP() << "this system refuses larger pipes";
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fitPipeToWrites(fds[1]);
  EXPECT_EQ(fcntl(fds[0], F_GETPIPE_SZ), expected);
  // A pipe that is already large enough is not shrunk.
  fitPipeToWrites(fds[1], 4096);
  EXPECT_EQ(fcntl(fds[1], F_GETPIPE_SZ), expected);
  close(fds[0]);
  close(fds[1]);

  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  fitPipeToWrites(fileno(file));
  EXPECT_EQ(std::fputs("x", file), 1);
  EXPECT_EQ(contents(file), "x");
  std::fclose(file);
  fitPipeToWrites(-1);  // a closed descriptor: nothing to do, nothing thrown
}

// The program's standard output, a pipe of the default size, is grown before
// the first block goes into it, so that its reader and writer take turns per
// megabyte.
TEST(ProgramOutput, GrowsThePipeItWritesTo) {
  const int expected = grownPipeCapacity();
  if (expected == 0) GTEST_SKIP() << "this system refuses larger pipes";
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_LT(fcntl(fds[0], F_GETPIPE_SZ), expected);
  std::string received;
  std::thread reader([&received, fd = fds[0]] {
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  const Feeder input([](int fd) { writeAll(fd, kStream.data(), kStream.size()); });
  const ProcessResult r = runGrouptraceOn({"3"}, input.readEnd(), fds[1], 60);
  const int capacity = fcntl(fds[1], F_GETPIPE_SZ);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(capacity, expected);
  EXPECT_EQ(received, runGrouptrace({"3"}, kStream).out);
}

}  // namespace
}  // namespace grouptrace
