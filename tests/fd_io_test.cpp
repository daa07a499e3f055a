#include "io/fd_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "grouptrace/memory_source.h"
#include "io/atomic_file.h"
#include "io/read_whole.h"
#include "parameters/my_io.h"

namespace grouptrace {
namespace {

// One answer of a raw call: a count taken (capped at what was asked), or -1
// with an errno.
struct Answer {
  ssize_t result;
  int errnum = 0;
};

// Answers reads, writes and polls from scripts, recording what was written.
// A call past the end of its script is a fault of the loop under test.
class ScriptedIo final : public RawIo {
 public:
  ScriptedIo(std::vector<Answer> calls, std::vector<Answer> polls = {})
      : calls_(std::move(calls)), polls_(std::move(polls)) {}

  ssize_t read(int, void* buffer, std::size_t size) override {
    const ssize_t n = next(calls_, size);
    if (n > 0) std::memset(buffer, 'r', static_cast<std::size_t>(n));
    return n;
  }
  ssize_t write(int, const void* data, std::size_t size) override {
    const ssize_t n = next(calls_, size);
    if (n > 0) written.append(static_cast<const char*>(data), static_cast<std::size_t>(n));
    return n;
  }
  int poll(pollfd*, nfds_t, int) override { return static_cast<int>(next(polls_, 1)); }

  std::string written;
  bool overrun = false;

 private:
  ssize_t next(std::vector<Answer>& script, std::size_t size) {
    if (script.empty()) {
      overrun = true;
      errno = ENOTRECOVERABLE;
      return -1;
    }
    const Answer a = script.front();
    script.erase(script.begin());
    errno = a.errnum;
    return a.result < 0 ? -1 : std::min<ssize_t>(a.result, static_cast<ssize_t>(size));
  }

  std::vector<Answer> calls_;
  std::vector<Answer> polls_;
};

constexpr Answer kInterrupted{-1, EINTR};
constexpr Answer kFull{-1, EAGAIN};
constexpr Answer kReady{1};

TEST(FdIo, WriteAllGivesEveryByteOrTheErrno) {
  const std::string text = "0123456789";
  struct Case {
    const char* name;
    std::vector<Answer> writes;
    std::vector<Answer> polls;
    int errnum;
    std::string written;
  };
  const Case cases[] = {
      {"at once", {{10}}, {}, 0, text},
      {"interrupted, then whole", {kInterrupted, kInterrupted, {10}}, {}, 0, text},
      {"short writes continued", {{3}, kInterrupted, {1}, {6}}, {}, 0, text},
      {"a full pipe waited out", {{4}, kFull, {6}}, {kReady}, 0, text},
      {"an interrupted wait resumed", {kFull, {10}}, {kInterrupted, kReady}, 0, text},
      {"a failure after a part", {{3}, {-1, ENOSPC}}, {}, ENOSPC, "012"},
      {"a write that takes nothing", {{0}}, {}, EIO, ""},
      {"a wait that fails", {kFull}, {{-1, ENOMEM}}, ENOMEM, ""},
  };
  for (const Case& c : cases) {
    ScriptedIo io(c.writes, c.polls);
    EXPECT_EQ(writeAll(3, text.data(), text.size(), io), c.errnum) << c.name;
    EXPECT_EQ(io.written, c.written) << c.name;
    EXPECT_FALSE(io.overrun) << c.name << ": called again after it was done";
  }
}

TEST(FdIo, ReadSomeRetriesOnlyInterruptions) {
  struct Case {
    const char* name;
    std::vector<Answer> reads;
    ssize_t result;
    int errnum;
  };
  const Case cases[] = {
      {"a block", {{5}}, 5, 0},
      {"interrupted, then a block", {kInterrupted, kInterrupted, {5}}, 5, 0},
      {"the end", {{0}}, 0, 0},
      {"a failure", {{-1, EIO}}, -1, EIO},
      {"would block", {kFull}, -1, EAGAIN},
  };
  for (const Case& c : cases) {
    ScriptedIo io(c.reads);
    char buffer[8];
    errno = 0;
    EXPECT_EQ(readSome(3, buffer, sizeof buffer, io), c.result) << c.name;
    if (c.result < 0) {
      EXPECT_EQ(errno, c.errnum) << c.name;
    }
    EXPECT_FALSE(io.overrun) << c.name;
  }
}

// The errno of a failed call reaches the caller with the file it concerns.
TEST(FdIo, FailuresCarryTheErrnoAndThePath) {
  struct Case {
    const char* path;
    int errnum;
    const char* shown;  // the file the error names
    const char* message;
  };
  const Case cases[] = {
      {"/dev/full", ENOSPC, "/dev/full", "cannot write /dev/full: "},
      {"/no/such/folder/t.trace", ENOENT, "/no/such/folder",
       "cannot create a file in /no/such/folder: "},
      {"/", EISDIR, "/", "cannot write /: "},
  };
  for (const Case& c : cases) {
    try {
      AtomicFile file(c.path);
      file.write("x");
      file.commit();
      ADD_FAILURE() << c.path << ": written";
    } catch (const IoError& e) {
      EXPECT_EQ(e.errnum(), c.errnum) << c.path;
      EXPECT_EQ(e.path(), c.shown) << c.path;
      EXPECT_EQ(std::string(e.what()), c.message + std::string(std::strerror(c.errnum)));
    }
  }
}

// A source that fails after its text, or gives more after its end (a
// terminal after Ctrl-D), and counts the reads it was asked for.
class FlakySource final : public ByteSource {
 public:
  FlakySource(std::string text, int errnum) : text_(std::move(text)), errnum_(errnum) {}
  std::size_t read(char* buffer, std::size_t size) override {
    ++reads;
    if (!text_.empty()) {
      const std::size_t n = std::min(size, text_.size());
      text_.copy(buffer, n);
      text_.erase(0, n);
      return n;
    }
    if (errnum_ != 0) throw std::system_error(errnum_, std::generic_category(), "read");
    text_ = "7\n";  // what a terminal gives when typed at after the end
    return 0;
  }
  int reads = 0;

 private:
  std::string text_;
  int errnum_;
};

TEST(FdIo, TheParameterStreamKeepsTheEndAndTheErrnoOfItsSource) {
  FlakySource failing("5\n", EIO);
  myIO io(failing);
  EXPECT_EQ(io.readNL().number, 5);
  const myIO::Value failed = io.readNL();
  EXPECT_EQ(failed.status, myIO::Status::readError);
  EXPECT_EQ(failed.error, EIO);
  EXPECT_EQ(io.readNL().status, myIO::Status::readError);
  EXPECT_EQ(failing.reads, 2) << "a failed source is read again";

  // Ended after a value, before any, or within what might have been a
  // byte-order mark: either way the source is asked once for its end.
  struct Case {
    std::string text;
    myIO::Status first;
    int reads;
  };
  for (const Case& c : {Case{"5\n", myIO::Status::ok, 2}, Case{"", myIO::Status::endOfInput, 1},
                        Case{"\xef\xbb", myIO::Status::notANumber, 2}}) {
    FlakySource ended(c.text, 0);
    myIO afterEnd(ended);
    EXPECT_EQ(afterEnd.readNL().status, c.first) << c.text;
    EXPECT_EQ(afterEnd.readNL().status, myIO::Status::endOfInput) << c.text;
    EXPECT_EQ(afterEnd.readNL().status, myIO::Status::endOfInput) << c.text;
    EXPECT_EQ(ended.reads, c.reads) << "read on after the end of \"" << c.text << '"';
  }
}

TEST(FdIo, WhatTheStreamReadAheadIsHandedOn) {
  const std::string text = "\xef\xbb\xbf \n {\"nNodes\": 5}\n";
  MemorySource source(text);
  myIO io(source);
  ASSERT_EQ(io.peekValueStart(), '{');
  EXPECT_EQ(io.takeBuffered(), "{\"nNodes\": 5}\n");
  char rest[4];
  EXPECT_EQ(source.read(rest, sizeof rest), 0u);
  EXPECT_EQ(io.takeBuffered(), "");
}

}  // namespace
}  // namespace grouptrace

// A file read whole is taken up to its limit and refused one byte past it,
// and a source that never ends is left soon after the limit.
TEST(ReadWhole, TheLimitIsTheLastByteTaken) {
  struct Case {
    std::string prefix, rest;
    std::size_t limit;
    bool whole;
  };
  const Case cases[] = {
      {"", "", 0, true},
      {"", "x", 0, false},
      {"", "abcd", 4, true},
      {"", "abcde", 4, false},
      {"ab", "cd", 4, true},
      {"ab", "cde", 4, false},
      {"", std::string(70000, 'z'), 70000, true},
      {"", std::string(70001, 'z'), 70000, false},
  };
  for (const Case& c : cases) {
    grouptrace::MemorySource source(c.rest);
    std::string text = c.prefix;
    EXPECT_EQ(grouptrace::readWhole(source, text, c.limit), c.whole) << c.rest.size();
    if (c.whole) {
      EXPECT_EQ(text, c.prefix + c.rest);
    }
  }
  struct Endless final : grouptrace::ByteSource {
    std::size_t given = 0;
    std::size_t read(char* buffer, std::size_t size) override {
      std::memset(buffer, 0, size);
      given += size;
      return size;
    }
  } endless;
  std::string text;
  EXPECT_FALSE(grouptrace::readWhole(endless, text, 100));
  EXPECT_LE(endless.given, std::size_t{1} << 17);
}
