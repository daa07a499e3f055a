#include "formats/trace/trace_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>
#include <sstream>

namespace grouptrace {
namespace {

// Drives a writer through every kind of line it can write.
template <class Output>
void writeSample(Output& output, const std::vector<double>& reals) {
  BasicTraceWriter<Output> writer(output);
  writer.header(TraceHeader{-7, 5, std::nullopt});
  writer.sessionEntry(SessionEntry{0, 2});
  writer.sessionEntry(SessionEntry{INT_MAX, INT_MAX});
  writer.sessionTableEnd();
  writer.groupBlock(0);
  writer.beefUpMarker();
  for (std::size_t i = 0; i + 1 < reals.size(); i += 2) {
    writer.join(
        JoinRecord{static_cast<NODEID>(i), 1, reals[i], reals[i + 1], INT_MIN, std::nullopt});
  }
  writer.joinLeaveMarker();
  writer.leave(LeaveRecord{INT_MAX, 0, std::nullopt});
  writer.endOfSessionMarker();
  writer.summary(TraceSummary{std::int64_t{1} << 40, 0, -1, 0});
  writer.flush();
}

std::string blockText(const std::vector<double>& reals) {
  StringSink sink;
  BlockOutput output(sink);
  writeSample(output, reals);
  return sink.text();
}

std::string streamText(const std::vector<double>& reals) {
  std::ostringstream os;
  StreamOutput output(os);
  writeSample(output, reals);
  return os.str();
}

TEST(TraceWriter, RecordsAsSimulatorsParseThem) {
  StringSink sink;
  BlockOutput output(sink);
  BasicTraceWriter<BlockOutput> writer(output);
  writer.join(JoinRecord{4, 1, 150, 20, 3, std::nullopt});
  writer.leave(LeaveRecord{4, 1, std::nullopt});
  writer.flush();
  EXPECT_EQ(sink.text(),
            "GRP_REQ {\nI : 0 \nU : 4 : 1 : 1 : 150 : 20 : 3\n}\n"
            "GRP_REQ {\nI : 0 \nU : 4 : 1 : 2 : 0 : 0 : 0\n}\n");
}

TEST(TraceWriter, HeaderMarkersAndSummaryKeepTheirBlanks) {
  const std::string text = blockText({});
  EXPECT_EQ(text,
            "// Print Group requests GRP: \n"
            "//  node: session: type of request: band:  del:  hops\n"
            "// Average Group Size: -7\n"
            "// Is Join-Leave ordered? (1=YES ): 5\n"
            " SESSIONS { \n"
            "S : 0 : 2\n"
            "S : 2147483647 : 2147483647\n"
            "} \n"
            "GRP_REQ {\nI : 0\n}\n"
            "// Start: Beef up session \n"
            "// JOIN-LEAVE  Join-Delete Randomly \n"
            "GRP_REQ {\nI : 0 \nU : 2147483647 : 0 : 2 : 0 : 0 : 0\n}\n"
            " // LEAVE end of session \n"
            " // Trans: 1099511627776 J: 0 R: -1\n");
}

TEST(TraceWriter, RealsInTheDefaultStreamFormat) {
  auto bandText = [](double band) {
    StringSink sink;
    BlockOutput output(sink);
    BasicTraceWriter<BlockOutput>(output).join(JoinRecord{0, 0, band, 0, 0, std::nullopt});
    output.flush();
    const std::string& t = sink.text();
    const auto start = t.find(" : 1 : ") + 7;
    return t.substr(start, t.find(" : ", start) - start);
  };
  EXPECT_EQ(bandText(0), "0");
  EXPECT_EQ(bandText(150), "150");
  EXPECT_EQ(bandText(-20), "-20");
  EXPECT_EQ(bandText(999999), "999999");
  EXPECT_EQ(bandText(-999999), "-999999");
  EXPECT_EQ(bandText(1000000), "1e+06");
  EXPECT_EQ(bandText(2000000), "2e+06");
  EXPECT_EQ(bandText(-1000000), "-1e+06");
  EXPECT_EQ(bandText(1234565), "1.23456e+06");  // a tie: to even
  EXPECT_EQ(bandText(1234575), "1.23458e+06");
  EXPECT_EQ(bandText(2147483647), "2.14748e+09");
  EXPECT_EQ(bandText(-2147483648.0), "-2.14748e+09");
  EXPECT_EQ(bandText(-1393990000), "-1.39399e+09");
}

// The fast output must give the bytes stream insertion gives, for every whole
// value a bound or draw can take.
TEST(TraceWriter, BlockOutputMatchesStreamInsertion) {
  std::vector<double> reals = {
      0,         -0.0,      1,        -1,           999999,       1000000,
      -1000000,  1000005,   9999995,  9999994,      10000005,     999999500,
      999999499, INT_MAX,   INT_MIN,  4294967295.0, 4294967296.0, 1e15,
      -2.5e12,   100000000, 123456789};
  std::mt19937_64 random(99);
  for (int i = 0; i < 200000; ++i) {
    const int magnitude = static_cast<int>(random() % 32);
    const auto value = static_cast<std::int64_t>(random() % (std::uint64_t{1} << magnitude));
    reals.push_back(static_cast<double>(random() % 2 != 0 ? -value : value));
  }
  EXPECT_EQ(blockText(reals), streamText(reals));
  // And a text far longer than one block comes out whole.
  EXPECT_GT(blockText(reals).size(), 4 * BlockOutput::kBlockSize);
}

TEST(TraceWriter, FailedWritesAreReported) {
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  FdSink sink(full);
  BlockOutput output(sink);
  BasicTraceWriter<BlockOutput> writer(output);
  writer.beefUpMarker();
  try {
    writer.flush();
    ADD_FAILURE() << "a write to a full device succeeded";
  } catch (const WriteError& e) {
    EXPECT_EQ(e.errnum(), ENOSPC);
  }
  close(full);

  FdSink closed(full);  // no longer open
  EXPECT_THROW(closed.write("x", 1), WriteError);
}

}  // namespace
}  // namespace grouptrace
