#include "grouptrace/parameters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "grouptrace/byte_source.h"
#include "parameters/parameter_stream.h"

namespace grouptrace {
namespace {

// A stream holding the given text that hands it out a byte at a time, so
// that taken() is where the reader stopped, the byte it peeked at included.
class Input final : public ByteSource {
 public:
  explicit Input(std::string text) : text_(std::move(text)) {}
  std::size_t read(char* buffer, std::size_t size) override {
    if (size == 0 || taken_ == text_.size()) return 0;
    buffer[0] = text_[taken_++];
    return 1;
  }
  long taken() const { return static_cast<long>(taken_); }

 private:
  std::string text_;
  std::size_t taken_ = 0;
};

Parameters read(const std::string& text, NumberEnd numberEnd = NumberEnd::separated) {
  Input in(text);
  myIO io(in);
  return readParameters(io, numberEnd);
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
  // The number ends at the first character that cannot continue it; the
  // legacy reading discards the rest of the line, whatever touches the number.
  EXPECT_EQ(read(streamWith(1, "10,"), NumberEnd::legacy).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "10abc"), NumberEnd::legacy).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "12.5.3"), NumberEnd::legacy).nNodes, 12);
  EXPECT_EQ(read(streamWith(1, "3e1.5"), NumberEnd::legacy).nNodes, 30);
  EXPECT_EQ(read(streamWith(4, "0x1F"), NumberEnd::legacy).currTrans, 0);
  EXPECT_EQ(read(streamWith(1, "5 6 7")).nNodes, 5);
}

std::string messageFor(const std::string& text) {
  try {
    read(text);
  } catch (const ParameterError& e) {
    return e.what();
  }
  return "accepted";
}

// "20,000" read as 20 and a comment is another scenario than the one written
// down: text glued to a number is refused, unless it opens a comment, and the
// legacy reading still gives the old values.
TEST(ParameterStream, TextGluedToANumberIsATypo) {
  struct Glued {
    int line;
    std::string value;
    const char* shown;  // what the message quotes after the number
    std::int32_t legacy;
  };
  const Glued typos[] = {
      {3, "20,000 transactions", "\",000\"", 20},
      {3, "20k", "\"k\"", 20},
      {1, "2O000", "\"O000\"", 2},
      {7, "12.5.3", "\".3\"", 12},
      {4, "0x1F", "\"x1F\"", 0},
      {9, "10/2", "\"/2\"", 10},
      {10, "1e5ms", "\"ms\"", 100000},
      {11, "3;", "\";\"", 3},
      {12, "4\xc2\xa0hops", "\"\\xc2\\xa0hops\"", 4},  // a no-break space pasted in
      {13, std::string("1\0", 2), "\"\\x00\"", 1},
  };
  for (const Glued& t : typos) {
    SCOPED_TRACE(t.value);
    const std::string stream = streamWith(t.line, t.value);
    try {
      read(stream);
      ADD_FAILURE() << "accepted";
    } catch (const GluedNumberError& e) {
      const std::string message = e.what();
      EXPECT_EQ(
          message.rfind(
              "line " + std::to_string(t.line) + ", value " + std::to_string(t.line) + " (", 0),
          0u)
          << message;
      EXPECT_NE(message.find(std::string(" is followed by ") + t.shown + " without a blank"),
                std::string::npos)
          << message;
      EXPECT_NE(message.find("put a blank or \"#\" before a comment"), std::string::npos);
    }
    EXPECT_EQ(parameterAt(read(stream, NumberEnd::legacy), static_cast<std::size_t>(t.line - 1)),
              t.legacy);
    EXPECT_THROW(parseParameters(stream), ParameterError);
    EXPECT_EQ(parameterAt(parseParameters(stream, NumberEnd::legacy),
                          static_cast<std::size_t>(t.line - 1)),
              t.legacy);
  }
  // The message quotes the number as written, then only the glued word.
  EXPECT_EQ(messageFor(streamWith(3, "+2.0e4,000 maxTrans")),
            "line 3, value 3 (maxTrans): \"+2.0e4\" is followed by \",000\" without a blank: "
            "write the number alone (no thousands separators, units or letters), and put a blank "
            "or \"#\" before a comment");

  // A comment mark may touch the number; so may a line end of any kind and
  // the end of the input.
  EXPECT_EQ(read(streamWith(1, "10#nodes")).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "10//nodes")).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "10.#nodes")).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "10\v")).nNodes, 10);
  EXPECT_EQ(read(streamWith(1, "10\f,")).nNodes, 10);
  std::string lastGlued = streamWith(0, "");
  lastGlued.back() = '#';
  EXPECT_EQ(read(lastGlued).orderedJoinLeave, 0);
  lastGlued.pop_back();
  EXPECT_EQ(read(lastGlued).orderedJoinLeave, 0);
  // The glued text is read only as far as its message shows: a line that
  // never ends is not read to its end.
  const std::string endless = streamWith(2, "2" + std::string(100'000, 'x'));
  Input in(endless);
  myIO io(in);
  EXPECT_THROW(readParameters(io), GluedNumberError);
  EXPECT_LT(in.taken(), static_cast<long>(endless.find("2x") + 2 * myIO::kTextKept));
}

TEST(ParameterStream, StopsAfterTheThirteenthLine) {
  const std::string text = streamWith(0, "");
  Input in(text + "this is not read\n");
  myIO io(in);
  readParameters(io);
  EXPECT_EQ(in.taken(), static_cast<long>(text.size()));
}

// The first value of a stream, read alone.
myIO::Value readFirst(const std::string& text) {
  Input in(text + "\n");
  myIO io(in);
  return io.readNL();
}

// However long a value's text, it reads as converting the whole text would.
TEST(ParameterStream, LongValuesReadAsTheirWholeText) {
  const std::string zeros(1'000'000, '0');
  EXPECT_EQ(read(streamWith(1, zeros + "10")).nNodes, 10);
  EXPECT_EQ(read(streamWith(3, "1e" + zeros + "2")).maxTrans, 100);
  EXPECT_EQ(read(streamWith(3, "1e-" + zeros + "2")).maxTrans, 0);
  EXPECT_EQ(read(streamWith(3, "0." + zeros + "25e1000003")).maxTrans, 250);
  EXPECT_EQ(read(streamWith(3, "25" + zeros + "e-1000000")).maxTrans, 25);
  EXPECT_EQ(read(streamWith(3, "-" + zeros + "." + zeros)).maxTrans, 0);
  // A fraction matters only through rounding, which can carry it into the
  // integer part.
  EXPECT_EQ(read(streamWith(3, "2147483647.999999")).maxTrans, 2147483647);
  EXPECT_THROW(read(streamWith(3, "2147483647.99999999999999999999")), ParameterError);

  // Each text lies on or just off a point halfway between two doubles, off it
  // by a digit far past any that a shortened text would keep. The halfway
  // point below the smallest double, 2^-1075, takes 752 significant digits.
  std::string digits = "1";  // 5^1075, so that 2^-1075 = 5^1075 * 10^-1075
  for (int i = 0; i < 1075; ++i) {
    int carry = 0;
    for (auto d = digits.rbegin(); d != digits.rend(); ++d) {
      const int v = (*d - '0') * 5 + carry;
      *d = static_cast<char>('0' + v % 10);
      carry = v / 10;
    }
    if (carry > 0) digits.insert(digits.begin(), static_cast<char>('0' + carry));
  }
  const std::string tiny = "0." + std::string(1075 - digits.size(), '0') + digits;
  const std::string halfway = "9007199254740993.";  // 2^53 + 1
  const std::string texts[] = {halfway + zeros.substr(0, 1000),
                               halfway + zeros.substr(0, 1000) + "1",
                               "9007199254740992." + std::string(1000, '9'),
                               tiny,
                               tiny + zeros.substr(0, 100) + "1",
                               "1" + std::string(308, '0') + "." + zeros.substr(0, 1000) + "1",
                               "-0e" + zeros + "5"};
  for (const std::string& text : texts) {
    const myIO::Value value = readFirst(text);
    const double whole = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(value.status, myIO::Status::ok) << text.substr(0, 40);
    EXPECT_EQ(value.number, whole) << text.substr(0, 40);
    EXPECT_EQ(std::signbit(value.number), std::signbit(whole)) << text.substr(0, 40);
  }
  EXPECT_EQ(readFirst(texts[0]).number, 9007199254740992.0);
  EXPECT_EQ(readFirst(texts[1]).number, 9007199254740994.0);
  EXPECT_EQ(readFirst(texts[3]).number, 0.0);
  EXPECT_EQ(readFirst(texts[4]).number, std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(readFirst("1" + zeros).status, myIO::Status::outOfRange);
}

// Past the start of a value found to be bad, only what its message shows is
// read: the line may never end.
TEST(ParameterStream, ABadValueIsRefusedWithoutReadingItsLine) {
  const std::string endless(100'000, 'x');
  const std::string starts[] = {"abc", std::string(1, '\0'), "1e999", "3000000000", "-", "1e+"};
  for (const std::string& start : starts) {
    const std::string text = streamWith(2, start + endless);
    Input in(text);
    myIO io(in);
    EXPECT_THROW(readParameters(io), ParameterError) << start;
    EXPECT_LT(in.taken(), static_cast<long>(text.find(start) + 2 * myIO::kTextKept)) << start;
  }
}

TEST(ParameterStream, MessagesNameTheLineAValueStandsOn) {
  std::string text = streamWith(0, "");
  text.insert(text.find("100\n"), std::string(10'000, '\n'));
  text.replace(text.find("100\n"), 3, "abc");
  EXPECT_EQ(messageFor(text), "line 10003, value 3 (maxTrans): expected a number, found \"abc\"");
  // Checks made once every value is read still point at the value's line.
  EXPECT_EQ(messageFor("\n\n# nodes\n" + streamWith(1, "0 nodes")).rfind("line 3, value 1 (", 0),
            0u);
  EXPECT_EQ(messageFor(std::string(5, '\n') + streamWith(2, "0")).rfind("line 7, value 2 (", 0),
            0u);
}

// Bare carriage returns end no line: the stream reads as one line, and the
// message must say why.
TEST(ParameterStream, StreamsWithCarriageReturnLineEndsGetAHint) {
  const std::string hint = "(the stream's lines end with a bare carriage return; use newlines)";
  std::string crOnly = streamWith(0, "");
  std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');
  const std::string message = messageFor(crOnly);
  EXPECT_EQ(message.rfind("line 1, value 2 (nSessions): the input ends here", 0), 0u) << message;
  EXPECT_NE(message.find(hint), std::string::npos) << message;
  EXPECT_NE(messageFor("10 nodes\r2 sessions\nabc\n").find(hint), std::string::npos);

  std::string crlf;
  for (const char c : streamWith(3, "abc"))
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(messageFor(crlf), "line 3, value 3 (maxTrans): expected a number, found \"abc\"");
  EXPECT_EQ(messageFor("10\n2\n").find(hint), std::string::npos);
}

TEST(ParameterStream, AByteOrderMarkStartsTheStreamUnseen) {
  const std::string mark = "\xef\xbb\xbf";
  const std::string stream = streamWith(0, "");
  EXPECT_EQ(read(mark + stream).nNodes, 10);
  EXPECT_EQ(read(mark + "\n\n" + stream).nNodes, 10);
  // Only at the very start; anywhere else, and in part, it is no number, and
  // the message shows its bytes for what they are.
  EXPECT_NE(messageFor(streamWith(2, mark + "2")).find("found \"\\xef\\xbb\\xbf2\""),
            std::string::npos);
  EXPECT_NE(messageFor("\xef\xbb" + stream)
                .find("line 1, value 1 (nNodes): expected a number, "
                      "found \"\\xef\\xbb10\""),
            std::string::npos);
  EXPECT_NE(messageFor("\xef").find("found \"\\xef\""), std::string::npos);
  EXPECT_NE(messageFor(streamWith(4, "\xc3\xa9t\xc3\xa9")).find("found \"\\xc3\\xa9t\\xc3\\xa9\""),
            std::string::npos);

  Input in(mark + stream + "not read");
  myIO io(in);
  readParameters(io);
  EXPECT_EQ(in.taken(), static_cast<long>(mark.size() + stream.size()));
}

struct BadStream {
  std::string text;
  int value;
  std::uint64_t line;
  const char* says;
};

TEST(ParameterStream, BadStreamsNameTheValueAndItsLine) {
  const std::string full = streamWith(0, "");
  const BadStream cases[] = {
      {"", 1, 1, "(nNodes): the input ends here"},
      {"\n\n  \n", 1, 4, "(nNodes): the input ends here"},
      {full.substr(0, full.find("3\n1\n150")), 5, 5, "(avgSize): the input ends here"},
      {streamWith(3, "many"), 3, 3, "(maxTrans): expected a number, found \"many\""},
      {streamWith(2, "# sessions"), 2, 2, "(nSessions): expected a number, found \"# sessions\""},
      {streamWith(6, "-"), 6, 6, "expected a number"},
      {streamWith(6, "."), 6, 6, "expected a number"},
      {streamWith(6, "1e"), 6, 6, "expected a number, found \"1e\""},
      {streamWith(6, "2e+x"), 6, 6, "expected a number"},
      {streamWith(7, "nan"), 7, 7, "(maxBand): expected a number"},
      {streamWith(7, "inf"), 7, 7, "(maxBand): expected a number"},
      {streamWith(7, "-infinity"), 7, 7, "(maxBand): expected a number"},
      {streamWith(7, "1e999"), 7, 7, "(maxBand): 1e999 is outside the signed 32-bit range"},
      {streamWith(7, "1e12"), 7, 7, "(maxBand): 1e12 is outside the signed 32-bit range"},
      {streamWith(1, "3000000000"), 1, 1,
       "(nNodes): 3000000000 is outside the signed 32-bit range"},
      {streamWith(9, "-2147483649"), 9, 9, "(minDelay): -2147483649 is outside"},
      {streamWith(3, "2147483648"), 3, 3, "(maxTrans): 2147483648 is outside"},
      {streamWith(1, "0"), 1, 1, "(nNodes): a network needs at least 1 node, got 0"},
      {streamWith(1, "-4"), 1, 1, "(nNodes): a network needs at least 1 node, got -4"},
      {streamWith(2, "0.9"), 2, 2, "(nSessions): a scenario needs at least 1 session, got 0"},
      {streamWith(4, std::string("\x01\x02", 2)), 4, 4, "found \"\\x01\\x02\""},
      {streamWith(8, "1" + std::string(5000, '0')), 8, 8,
       "(minBand): 1000000000000000000000000000000000000000... is outside"},
      {streamWith(8, "x" + std::string(5000, 'y')), 8, 8, "yyy...\""},
  };
  for (const BadStream& c : cases) {
    try {
      read(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const ParameterError& e) {
      EXPECT_EQ(e.value(), c.value) << e.what();
      EXPECT_EQ(e.line(), c.value) << e.what();
      EXPECT_EQ(e.inputLine(), c.line) << e.what();
      const std::string message = e.what();
      const std::string place =
          "line " + std::to_string(c.line) + ", value " + std::to_string(c.value) + " (";
      EXPECT_EQ(message.rfind(place, 0), 0u) << message;
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
  }
}

}  // namespace
}  // namespace grouptrace
