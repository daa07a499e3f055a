#include "table/request_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "grouptrace/generator.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_error.h"
#include "inspect_test_support.h"
#include "io/atomic_file.h"

namespace grouptrace {
namespace {

using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

Parameters scenario(std::int32_t avgSize, std::int32_t maxTrans, std::int32_t ordered) {
  Parameters p;
  p.nNodes = 30;
  p.nSessions = 3;
  p.maxTrans = maxTrans;
  p.avgSize = avgSize;
  p.nQoSLevels = 1;
  p.maxBand = 900;
  p.minBand = 10;
  p.minDelay = 1;
  p.maxDelay = 50;
  p.minHops = 1;
  p.maxHops = 8;
  p.orderedJoinLeave = ordered;
  return p;
}

std::string programText(const Parameters& p, SEED_type seed) {
  StringSink sink;
  writeTrace(p, seed, TraceFormat::trace, sink);
  return sink.text();
}

std::string replayedText(const TraceTable& table) {
  StringSink sink;
  replayTable(table, *makeTraceWriter(TraceFormat::trace, sink));
  return sink.text();
}

bool sameRows(const RequestRows& a, const RequestRows& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(RequestRow)) == 0);
}

TEST(RequestRows, KeepEveryRowWhileGrowingPastTheMappedSizeAndShrinking) {
  RequestRows rows;
  constexpr int kCount = 300'000;  // 9.6 MB: grows from malloc into a mapping, then remaps
  for (int i = 0; i < kCount; ++i) {
    RequestRow row;
    row.node = i;
    row.band = i * 0.5;
    row.kind = static_cast<std::uint8_t>(1 + i % 2);
    rows.push(row);
  }
  rows.shrinkToFit();
  RequestRows moved(std::move(rows));
  EXPECT_TRUE(rows.empty());
  RequestRows assigned;
  assigned.push(RequestRow{});
  assigned = std::move(moved);
  ASSERT_EQ(assigned.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(assigned[i].node, i);
    ASSERT_EQ(assigned[i].band, i * 0.5);
    ASSERT_EQ(assigned[i].kind, 1 + i % 2);
  }
  assigned.reserve(kCount * 4);
  EXPECT_EQ(assigned[kCount - 1].node, kCount - 1);
}

// Every phase's marker is written even when the phase has no request.
TEST(RequestTable, ReplaysToTheProgramsTextWithEmptyPhases) {
  const Parameters cases[] = {scenario(6, 300, 0), scenario(1, 300, 0), scenario(6, 0, 1),
                              scenario(0, 0, 0)};
  for (const Parameters& p : cases) {
    TraceTable table;
    const RunResult result = generateTable(p, 11, table);
    EXPECT_EQ(static_cast<Count>(table.requests.size()), result.joins + result.leaves);
    const std::string text = programText(p, 11);
    EXPECT_EQ(replayedText(table), text) << "avgSize " << p.avgSize << " maxTrans " << p.maxTrans;

    EXPECT_GE(mostRequests(text.size()), table.requests.size());
    // Without the size, with it, and with one too small (a file that grew).
    for (const std::uint64_t size :
         {std::uint64_t{0}, std::uint64_t{text.size()}, std::uint64_t{100}}) {
      MemorySource source(text);
      TraceTable read;
      readTable(source, read, {}, size);
      EXPECT_TRUE(sameRows(read.requests, table.requests));
      EXPECT_EQ(read.sources, table.sources);
      EXPECT_EQ(read.summary, table.summary);
      EXPECT_EQ(read.header, table.header);
    }
  }
}

TEST(RequestTable, RefusesRowsNoTraceHolds) {
  StringSink sink;
  auto writer = makeTraceWriter(TraceFormat::trace, sink);

  TraceTable backwards;
  RequestRow late, early;
  late.phase = 1;
  late.kind = 2;
  early.kind = 1;
  backwards.requests.push(late);
  backwards.requests.push(early);
  EXPECT_THROW(replayTable(backwards, *writer), std::invalid_argument);

  TraceTable unknownKind;
  unknownKind.requests.push(RequestRow{});
  EXPECT_THROW(replayTable(unknownKind, *writer), std::invalid_argument);
}

TEST(TraceChunkReader, HandsOutBoundedChunksAndNothingAfterAFault) {
  const Parameters p = scenario(6, 200, 0);
  TraceTable whole;
  generateTable(p, 5, whole);
  const std::string text = programText(p, 5);

  MemorySource source(text);
  TraceChunkReader reader(source, 256);
  RequestRows chunks;
  std::size_t got = 0;
  while ((got = reader.read(chunks, 7)) == 7) EXPECT_FALSE(reader.done());
  EXPECT_TRUE(reader.done());
  EXPECT_TRUE(sameRows(chunks, whole.requests));
  EXPECT_EQ(reader.summary(), whole.summary);

  // A summary that miscounts the joins: the last line fails.
  const std::string faulty =
      text.substr(0, text.rfind(" J: ")) + " J: 1" + text.substr(text.rfind(" J: ") + 4);
  MemorySource bad(faulty);
  TraceChunkReader badReader(bad);
  RequestRows rows;
  EXPECT_THROW(badReader.read(rows, 1'000'000), TraceError);
  EXPECT_EQ(badReader.read(rows, 1'000'000), 0u);
  EXPECT_FALSE(badReader.done());
}

TEST(AtomicFile, ReplacesAFileOnlyOnceCompleteAndKeepsItsPermissions) {
  ScratchDir dir;
  const std::string path = (dir / "run.trace").string();
  writeFile(path, "previous\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  {
    AtomicFile file(path);
    file.write("half a trace");
  }  // never committed
  EXPECT_EQ(readFile(path), "previous\n");
  {
    AtomicFile file(path);
    file.write("whole\n");
    file.commit();
  }
  EXPECT_EQ(readFile(path), "whole\n");
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);

  const std::string missing = (dir / "no" / "run.trace").string();
  try {
    AtomicFile file(missing);
    FAIL() << "a file in a missing directory was opened";
  } catch (const IoError& e) {
    EXPECT_EQ(e.errnum(), ENOENT);
    EXPECT_NE(std::string(e.what()).find("no"), std::string::npos);
  }
}

}  // namespace
}  // namespace grouptrace
