#include "grouptrace/trace_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "inspect_test_support.h"
#include "read_events.h"

namespace grouptrace {
namespace {

using testing::goldenTraces;
using testing::readFile;

std::vector<TraceEvent> readAll(const std::string& text,
                                std::size_t bufferSize = TraceReader::kDefaultBufferSize) {
  return testing::readEvents<TraceReader>(text, bufferSize);
}

// Writes the events back through the generator's own trace writer.
std::string rewrite(const std::vector<TraceEvent>& events) {
  StringSink sink;
  const auto writer = makeTraceWriter(TraceFormat::trace, sink);
  for (const TraceEvent& event : events) deliver(event, *writer);
  return sink.text();
}

TEST(TraceReaderGolden, EveryStoredTraceReadsBackByteForByte) {
  const auto traces = goldenTraces();
  ASSERT_GE(traces.size(), 12u);
  for (const auto& path : traces) {
    SCOPED_TRACE(path.filename().string());
    const std::string text = readFile(path);
    std::vector<TraceEvent> events;
    ASSERT_NO_THROW(events = readAll(text, TraceReader::kDefaultBufferSize));
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(std::holds_alternative<TraceSummary>(events.back()));
    EXPECT_EQ(rewrite(events), text);
  }
}

TEST(TraceReaderGolden, LinesSplitAcrossRefillsGiveTheSameEvents) {
  for (const auto& path : goldenTraces()) {
    SCOPED_TRACE(path.filename().string());
    const std::string text = readFile(path);
    const auto whole = readAll(text, TraceReader::kDefaultBufferSize);
    // 64 bytes is just above the longest line these traces hold, so almost
    // every refill cuts a line in two.
    for (const std::size_t size : {64u, 67u, 100u, 4096u}) {
      EXPECT_EQ(readAll(text, size), whole) << "buffer of " << size << " bytes";
    }
  }
}

TEST(TraceReaderGolden, WorkedExampleEventsAndState) {
  const std::string text = readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/000.out");
  MemorySource source(text);
  TraceReader reader(source);
  TraceEvent event;

  ASSERT_TRUE(reader.next(event));
  EXPECT_EQ(std::get<TraceHeader>(event), (TraceHeader{2, 1, std::nullopt}));
  EXPECT_EQ(reader.line(), 4u);
  ASSERT_TRUE(reader.next(event));
  EXPECT_EQ(std::get<SessionEntry>(event), (SessionEntry{0, 0}));
  ASSERT_TRUE(reader.next(event));
  EXPECT_EQ(std::get<SessionEntry>(event), (SessionEntry{1, 0}));
  EXPECT_FALSE(reader.phase().has_value());
  ASSERT_TRUE(reader.next(event));
  EXPECT_EQ(std::get<PhaseStart>(event).phase, TracePhase::beefUp);
  EXPECT_EQ(reader.line(), 15u);
  ASSERT_TRUE(reader.next(event));
  EXPECT_EQ(std::get<JoinRecord>(event), (JoinRecord{1, 0, 77, 1, 4, std::nullopt}));
  EXPECT_EQ(reader.line(), 18u);
  EXPECT_EQ(reader.groupSize(0), 2);
  EXPECT_TRUE(reader.isMember(0, 1));
  EXPECT_TRUE(reader.isMember(0, 0));
  EXPECT_FALSE(reader.isMember(1, 1));

  // On to the first leave: node 1 leaves session 0 on line 31.
  while (reader.next(event) && !std::holds_alternative<LeaveRecord>(event)) {
  }
  EXPECT_EQ(std::get<LeaveRecord>(event), (LeaveRecord{1, 0, std::nullopt}));
  EXPECT_EQ(reader.line(), 31u);
  EXPECT_EQ(reader.phase(), TracePhase::joinLeave);
  EXPECT_EQ(reader.groupSize(0), 1);
  EXPECT_FALSE(reader.isMember(0, 1));
  EXPECT_EQ(reader.groupSize(1), 3);

  TraceSummary summary;
  while (reader.next(event)) {
    if (const auto* s = std::get_if<TraceSummary>(&event)) summary = *s;
  }
  EXPECT_EQ(summary, (TraceSummary{7, 4, 3, 0}));
  EXPECT_EQ(reader.line(), 46u);
  EXPECT_EQ(reader.joins(), 4);
  EXPECT_EQ(reader.leaves(), 3);
  EXPECT_EQ(reader.groupSize(1), 2);
  EXPECT_EQ(reader.joinedMembers(), 1u);
  EXPECT_FALSE(reader.next(event)) << "nothing comes after the summary";
}

TEST(TraceReaderNumbers, BandAndDelayOfAMillionAndMoreComeBackInSixDigits) {
  const std::string text =
      "// Print Group requests GRP: \n"
      "//  node: session: type of request: band:  del:  hops\n"
      "// Average Group Size: 2\n"
      "// Is Join-Leave ordered? (1=YES ): 0\n"
      " SESSIONS { \n"
      "S : 0 : 3\n"
      "} \n"
      "GRP_REQ {\nI : 0\n}\n"
      "// Start: Beef up session \n"
      "GRP_REQ {\nI : 0 \nU : 2147483646 : 0 : 1 : -2.14748e+09 : 1e+06 : -2147483648\n}\n"
      "// JOIN-LEAVE  Join-Delete Randomly \n"
      "GRP_REQ {\nI : 0 \nU : 0 : 0 : 1 : 999999 : -999999 : 0\n}\n"
      " // LEAVE end of session \n"
      "GRP_REQ {\nI : 0 \nU : 2147483646 : 0 : 2 : 0 : 0 : 0\n}\n"
      "GRP_REQ {\nI : 0 \nU : 0 : 0 : 2 : 0 : 0 : 0\n}\n"
      " // Trans: -2147483644 J: 2 R: 2\n";
  const auto events = readAll(text, TraceReader::kDefaultBufferSize);
  ASSERT_EQ(events.size(), 10u);
  EXPECT_EQ(std::get<JoinRecord>(events[3]),
            (JoinRecord{2147483646, 0, -2147480000.0, 1000000.0, -2147483647 - 1, std::nullopt}));
  EXPECT_EQ(std::get<JoinRecord>(events[5]),
            (JoinRecord{0, 0, 999999.0, -999999.0, 0, std::nullopt}));
  EXPECT_EQ(std::get<TraceSummary>(events[9]), (TraceSummary{-2147483644, 2, 2, 0}));
  EXPECT_EQ(rewrite(events), text);
}

// A record is read straight from the buffer when enough of the trace follows it (its fixed text a
// word at a time when more than a long record's length does), and line by line otherwise; the
// last path words every error. Numbers of every length, with and without leading zeros and at the
// edges of their ranges, must come out the same every way.
TEST(TraceReaderNumbers, RecordsReadInPlaceAgreeWithTheLineByLinePath) {
  const auto outcome = [](const std::string& text, std::size_t bufferSize) {
    try {
      return rewrite(readAll(text, bufferSize));
    } catch (const TraceError& e) {
      return "line " + std::to_string(e.line()) + ": " + e.reason();
    }
  };
  const auto trace = [](const std::string& node, const std::string& session,
                        const std::string& band, const std::string& hops) {
    return "// Print Group requests GRP: \n"
           "//  node: session: type of request: band:  del:  hops\n"
           "// Average Group Size: 2\n"
           "// Is Join-Leave ordered? (1=YES ): 0\n"
           " SESSIONS { \n"
           "S : 0 : 2147483646\n"
           "} \n"
           "GRP_REQ {\nI : 0\n}\n"
           "// Start: Beef up session \n"
           "GRP_REQ {\nI : 0 \nU : " +
           node + " : " + session + " : 1 : " + band + " : 3 : " + hops +
           "\n}\n"
           "// JOIN-LEAVE  Join-Delete Randomly \n"
           "GRP_REQ {\nI : 0 \nU : " +
           node + " : " + session +
           " : 2 : 0 : 0 : 0\n}\n"
           " // LEAVE end of session \n"
           " // Trans: 2 J: 1 R: 1\n";
  };
  const std::vector<std::string> nodes = {
      "0",          "7",           "00",         "07",         "-1",         "12",
      "123",        "1234",        "12345",      "123456",     "1234567",    "12345678",
      "01234567",   "123456789",   "1234567890", "2147483646", "2147483647", "9999999999",
      "0000000001", "12345678901", "1x",         "",           "4294967296"};
  const std::vector<std::string> sessions = {"0", "00", "1", "-0", "01", "10000000000"};
  const std::vector<std::string> bands = {"0",    "-0",      "-5",          "999999", "-999999",
                                          "0999", "1000000", "12345678",    "1e+06",  "-",
                                          "--1",  "5.5",     "-2.14748e+09"};
  const std::vector<std::string> hops = {"0",           "-2147483648", "2147483647", "2147483648",
                                         "-2147483649", "-0",          "00",         "99999999"};
  int checked = 0;
  const auto agree = [&](const std::string& text) {
    const std::string inPlace = outcome(text, TraceReader::kDefaultBufferSize);
    // Shorter than the reach the in-place path needs, yet longer than any line.
    const std::string lineByLine = outcome(text, 100);
    EXPECT_EQ(inPlace, lineByLine) << text;
    ++checked;
  };
  for (const std::string& node : nodes) agree(trace(node, "0", "0", "0"));
  for (const std::string& session : sessions) agree(trace("5", session, "0", "0"));
  for (const std::string& band : bands) agree(trace("5", "0", band, "0"));
  for (const std::string& hop : hops) agree(trace("5", "0", "0", hop));
  EXPECT_EQ(checked, static_cast<int>(nodes.size() + sessions.size() + bands.size() + hops.size()));
  // A fraction, even one in the writer's own exponent form, is no band.
  for (const char* band : {"5.5", "1e-05"}) {
    EXPECT_EQ(outcome(trace("5", "0", band, "0"), 100).rfind("line ", 0), 0u) << band;
  }
  // The paths agree on sound records too, not only by refusing alike.
  EXPECT_EQ(outcome(trace("1234567890", "0", "-999999", "-2147483648"), 100),
            trace("1234567890", "0", "-999999", "-2147483648"));
}

}  // namespace
}  // namespace grouptrace
