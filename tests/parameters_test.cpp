#include "grouptrace/parameters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "generator/my_io.h"

namespace grouptrace {
namespace {

// A stream holding the given text, closed on destruction.
class Input {
 public:
  explicit Input(const std::string& text) : file_(std::tmpfile()) {
    std::fwrite(text.data(), 1, text.size(), file_);
    std::rewind(file_);
  }
  ~Input() { std::fclose(file_); }
  std::FILE* file() { return file_; }

 private:
  std::FILE* file_;
};

Parameters read(const std::string& text) {
  Input in(text);
  myIO io(in.file());
  return readParameters(io);
}

// A well-formed stream with the given text for line `line` (1-based).
std::string streamWith(int line, const std::string& value) {
  const char* values[] = {"10", "2", "100", "0", "3", "1", "150", "10", "1", "5", "1", "4", "0"};
  std::string text;
  for (int i = 1; i <= 13; ++i) text += (i == line ? value : values[i - 1]) + "\n";
  return text;
}

TEST(ParameterStream, ReadsTheThirteenValuesInStreamOrder) {
  const Parameters p = read("10\n2\n100\n5\n3\n1\n150\n10\n1\n5\n1\n4\n1\n");
  EXPECT_EQ(p.nNodes, 10);
  EXPECT_EQ(p.nSessions, 2);
  EXPECT_EQ(p.maxTrans, 100);
  EXPECT_EQ(p.currTrans, 5);
  EXPECT_EQ(p.avgSize, 3);
  EXPECT_EQ(p.nQoSLevels, 1);
  EXPECT_EQ(p.maxBand, 150);
  EXPECT_EQ(p.minBand, 10);
  EXPECT_EQ(p.minDelay, 1);
  EXPECT_EQ(p.maxDelay, 5);
  EXPECT_EQ(p.minHops, 1);
  EXPECT_EQ(p.maxHops, 4);
  EXPECT_EQ(p.orderedJoinLeave, 1);
}

TEST(ParameterStream, CommentsBlankLinesAndLineEnds) {
  EXPECT_EQ(read(streamWith(1, "10 number of nodes")).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "10\t# nodes")).nNodes, 10);
  EXPECT_EQ(read("\n\n  \n" + streamWith(0, "")).nNodes, 10);
  EXPECT_EQ(read(streamWith(5, "\n\n7")).avgSize, 7);

  std::string crlf;
  for (const char* v : {"8", "2", "10", "0", "1", "2", "74", "121", "-15", "24", "6", "2", "1"}) {
    crlf += std::string(v) + "\r\n";
  }
  const Parameters p = read(crlf);
  EXPECT_EQ(p.nNodes, 8);
  EXPECT_EQ(p.minDelay, -15);
  EXPECT_EQ(p.orderedJoinLeave, 1);

  std::string noFinalNewline = streamWith(0, "");
  noFinalNewline.back() = ' ';  // "0 " and then the end of input
  EXPECT_EQ(read(noFinalNewline).orderedJoinLeave, 0);
  noFinalNewline.pop_back();
  noFinalNewline += "7";
  EXPECT_EQ(read(noFinalNewline).orderedJoinLeave, 7);
}

TEST(ParameterStream, ValuesTruncateTowardZero) {
  EXPECT_EQ(read(streamWith(5, "2.9")).avgSize, 2);
  EXPECT_EQ(read(streamWith(9, "-2.9")).minDelay, -2);
  EXPECT_EQ(read(streamWith(7, "150.7")).maxBand, 150);
  EXPECT_EQ(read(streamWith(13, "1.7")).orderedJoinLeave, 1);
  EXPECT_EQ(read(streamWith(13, "0.5")).orderedJoinLeave, 0);
  EXPECT_EQ(read(streamWith(13, "-0.5")).orderedJoinLeave, 0);
  EXPECT_EQ(read(streamWith(3, "2147483647.9")).maxTrans, 2147483647);
  EXPECT_EQ(read(streamWith(9, "-2147483648.9")).minDelay, -2147483648);
}

TEST(ParameterStream, NumberFormsOfStreamExtraction) {
  EXPECT_EQ(read(streamWith(1, "+12")).nNodes, 12);
  EXPECT_EQ(read(streamWith(1, "64e0")).nNodes, 64);
  EXPECT_EQ(read(streamWith(1, "1.5E1")).nNodes, 15);
  EXPECT_EQ(read(streamWith(1, "1.e2")).nNodes, 100);
  EXPECT_EQ(read(streamWith(1, "0007")).nNodes, 7);
  EXPECT_EQ(read(streamWith(4, ".5")).currTrans, 0);
  EXPECT_EQ(read(streamWith(4, "1e-400")).currTrans, 0);  // underflows to zero
  // The number ends at the first character that cannot continue it, and the
  // rest of the line is discarded.
  EXPECT_EQ(read(streamWith(1, "10,")).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "10abc")).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "12.5.3")).nNodes, 12);
  EXPECT_EQ(read(streamWith(1, "3e1.5")).nNodes, 30);
  EXPECT_EQ(read(streamWith(4, "0x1F")).currTrans, 0);
  EXPECT_EQ(read(streamWith(1, "5 6 7")).nNodes, 5);
}

TEST(ParameterStream, StopsAfterTheThirteenthLine) {
  const std::string text = streamWith(0, "");
  Input in(text + "this is not read\n");
  myIO io(in.file());
  readParameters(io);
  EXPECT_EQ(std::ftell(in.file()), static_cast<long>(text.size()));
}

struct BadStream {
  std::string text;
  int line;
  const char* says;
};

TEST(ParameterStream, BadStreamsNameTheLineAndParameter) {
  const std::string full = streamWith(0, "");
  const BadStream cases[] = {
      {"", 1, "(nNodes): the input ends here"},
      {"\n\n  \n", 1, "(nNodes): the input ends here"},
      {full.substr(0, full.find("3\n1\n150")), 5, "(avgSize): the input ends here"},
      {streamWith(3, "many"), 3, "(maxTrans): expected a number, found \"many\""},
      {streamWith(2, "# sessions"), 2, "(nSessions): expected a number, found \"# sessions\""},
      {streamWith(6, "-"), 6, "expected a number"},
      {streamWith(6, "."), 6, "expected a number"},
      {streamWith(6, "1e"), 6, "expected a number, found \"1e\""},
      {streamWith(6, "2e+x"), 6, "expected a number"},
      {streamWith(7, "nan"), 7, "(maxBand): expected a number"},
      {streamWith(7, "inf"), 7, "(maxBand): expected a number"},
      {streamWith(7, "-infinity"), 7, "(maxBand): expected a number"},
      {streamWith(7, "1e999"), 7, "(maxBand): 1e999 is outside the signed 32-bit range"},
      {streamWith(7, "1e12"), 7, "(maxBand): 1e12 is outside the signed 32-bit range"},
      {streamWith(1, "3000000000"), 1, "(nNodes): 3000000000 is outside the signed 32-bit range"},
      {streamWith(9, "-2147483649"), 9, "(minDelay): -2147483649 is outside"},
      {streamWith(3, "2147483648"), 3, "(maxTrans): 2147483648 is outside"},
      {streamWith(1, "0"), 1, "(nNodes): a network needs at least 1 node, got 0"},
      {streamWith(1, "-4"), 1, "(nNodes): a network needs at least 1 node, got -4"},
      {streamWith(2, "0.9"), 2, "(nSessions): a scenario needs at least 1 session, got 0"},
      {streamWith(4, std::string("\x01\x02", 2)), 4, "found \"\\x01\\x02\""},
      {streamWith(8, "1" + std::string(5000, '0')), 8,
       "(minBand): 1000000000000000000000000000000000000000... is outside"},
      {streamWith(8, "x" + std::string(5000, 'y')), 8, "yyy...\""},
  };
  for (const BadStream& c : cases) {
    try {
      read(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const ParameterError& e) {
      EXPECT_EQ(e.line(), c.line) << e.what();
      const std::string message = e.what();
      EXPECT_EQ(message.rfind("parameter line " + std::to_string(c.line) + " (", 0), 0u) << message;
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
  }
}

}  // namespace
}  // namespace grouptrace
