#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "grouptrace/memory_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_reader.h"
#include "inspect_test_support.h"

namespace grouptrace {
namespace {

// The first worked example, 46 lines: its requests are
//   18 join 1 -> s0   22 join 2 -> s1   (beef-up, marker on 15)
//   27 join 1 -> s1   31 leave 1 <- s0   35 leave 2 <- s1   39 join 2 -> s1   (marker on 24)
//   44 leave 2 <- s1  (marker on 41)     46 summary " // Trans: 7 J: 4 R: 3"
std::vector<std::string> exampleLines() {
  std::istringstream in(testing::readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/000.out"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// A change to the example: replace line `at` (1-based) by the given lines,
// which may be none.
struct Edit {
  std::size_t at;
  std::vector<std::string> with;
};

std::string edited(std::vector<Edit> edits) {
  auto lines = exampleLines();
  // From the bottom up, so earlier line numbers stay put.
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at > b.at; });
  for (const Edit& e : edits) {
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(e.at - 1));
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(e.at - 1), e.with.begin(),
                 e.with.end());
  }
  return joined(lines);
}

struct Fault {
  const char* name;
  std::string text;
  std::uint64_t line;
  std::string says;
};

// Reads the whole trace; the error it stopped at.
std::optional<TraceError> firstError(const std::string& text,
                                     std::size_t bufferSize = TraceReader::kDefaultBufferSize) {
  MemorySource source(text);
  TraceReader reader(source, bufferSize);
  TraceEvent event;
  try {
    while (reader.next(event)) {
    }
  } catch (const TraceError& e) {
    EXPECT_FALSE(reader.next(event)) << "an event after the refusal";
    return e;
  }
  return std::nullopt;
}

void expectCaught(const std::vector<Fault>& faults) {
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    const auto error = firstError(f.text);
    ASSERT_TRUE(error.has_value()) << "accepted:\n" << f.text;
    EXPECT_EQ(error->line(), f.line) << error->what();
    EXPECT_NE(error->reason().find(f.says), std::string::npos) << error->what();
    EXPECT_EQ(std::string(error->what()).rfind("line " + std::to_string(f.line) + ": ", 0), 0u)
        << error->what();
    // A buffer barely longer than a line sends most records down the
    // line-by-line path instead of the in-place one: the verdict must not change.
    const auto split = firstError(f.text, 64);
    ASSERT_TRUE(split.has_value());
    EXPECT_STREQ(split->what(), error->what());
  }
}

void expectSound(const std::vector<std::pair<const char*, std::string>>& traces) {
  for (const auto& [name, text] : traces) {
    SCOPED_TRACE(name);
    const auto error = firstError(text);
    EXPECT_FALSE(error.has_value()) << error->what() << "\n" << text;
  }
}

// A trace put together from its requests; the summary counts them from a starting counter of 0.
struct Request {
  bool join;
  int node;
  int session;
};
Request J(int node, int session) {
  return {true, node, session};
}
Request L(int node, int session) {
  return {false, node, session};
}
struct Script {
  int avgSize = 2;
  int ordered = 0;
  std::vector<int> sources = {0};
  std::vector<Request> beefUp, joinLeave, endOfSession;
};

std::string textOf(const Script& run) {
  std::string text =
      "// Print Group requests GRP: \n"
      "//  node: session: type of request: band:  del:  hops\n"
      "// Average Group Size: " +
      std::to_string(run.avgSize) +
      "\n// Is Join-Leave ordered? (1=YES ): " + std::to_string(run.ordered) + "\n SESSIONS { \n";
  for (std::size_t s = 0; s < run.sources.size(); ++s) {
    text += "S : " + std::to_string(s) + " : " + std::to_string(run.sources[s]) + "\n";
  }
  text += "} \n";
  for (std::size_t s = 0; s < run.sources.size(); ++s) {
    text += "GRP_REQ {\nI : " + std::to_string(s) + "\n}\n";
  }
  long long joins = 0;
  long long leaves = 0;
  auto add = [&](const std::vector<Request>& requests) {
    for (const Request& r : requests) {
      text += "GRP_REQ {\nI : 0 \nU : " + std::to_string(r.node) + " : " +
              std::to_string(r.session) +
              (r.join ? " : 1 : 64 : 5 : 2\n}\n" : " : 2 : 0 : 0 : 0\n}\n");
      ++(r.join ? joins : leaves);
    }
  };
  text += "// Start: Beef up session \n";
  add(run.beefUp);
  text += "// JOIN-LEAVE  Join-Delete Randomly \n";
  add(run.joinLeave);
  text += " // LEAVE end of session \n";
  add(run.endOfSession);
  return text + " // Trans: " + std::to_string(joins + leaves) + " J: " + std::to_string(joins) +
         " R: " + std::to_string(leaves) + "\n";
}

// The line of the n-th (from 0) line that starts with `start`: by default, of the n-th request.
std::uint64_t lineOf(const std::string& trace, std::size_t n, std::string_view start = "U : ") {
  std::istringstream in(trace);
  std::uint64_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.compare(0, start.size(), start) == 0 && n-- == 0) return number;
  }
  return 0;
}

TEST(TraceFaults, TheExampleItselfIsSound) {
  EXPECT_FALSE(firstError(joined(exampleLines())).has_value());
  EXPECT_FALSE(firstError(edited({})).has_value());
}

TEST(TraceFaults, MembershipContradictions) {
  expectCaught({
      {"join of a member", edited({{27, {"U : 2 : 1 : 1 : 50 : 2 : 3"}}}), 27,
       "node 2 joins session 1 but is already a member"},
      {"join of the source", edited({{27, {"U : 0 : 1 : 1 : 50 : 2 : 3"}}}), 27,
       "whose source it is"},
      {"leave of the source", edited({{31, {"U : 0 : 0 : 2 : 0 : 0 : 0"}}}), 31,
       "node 0 leaves session 0, whose source it is"},
      {"leave of a non-member", edited({{31, {"U : 2 : 0 : 2 : 0 : 0 : 0"}}}), 31,
       "node 2 leaves session 0 but is not a member"},
      {"a node leaves twice", edited({{44, {"U : 1 : 0 : 2 : 0 : 0 : 0"}}}), 44, "is not a member"},
      {"session out of range", edited({{27, {"U : 1 : 2 : 1 : 50 : 2 : 3"}}}), 27,
       "session 2 is not in the session table (sessions 0 to 1)"},
      {"negative session", edited({{31, {"U : 1 : -1 : 2 : 0 : 0 : 0"}}}), 31,
       "session -1 is not in the session table"},
      {"negative node", edited({{27, {"U : -1 : 1 : 1 : 50 : 2 : 3"}}}), 27, "is not a node"},
  });
}

TEST(TraceFaults, RecordsOfTheWrongShape) {
  expectCaught({
      {"short request line", edited({{27, {"U : 1 : 1 : 1 : 50 : 2"}}}), 27, "has 5 fields"},
      {"long request line", edited({{27, {"U : 1 : 1 : 1 : 50 : 2 : 3 : 9"}}}), 27, "more than 6"},
      {"request line missing", edited({{27, {}}}), 27, "expected the request line"},
      {"closing brace missing", edited({{28, {}}}), 28, "closing \"}\""},
      {"index line without its blank", edited({{17, {"I : 0"}}}), 17, "lacks the blank"},
      {"unknown request type", edited({{27, {"U : 1 : 1 : 3 : 50 : 2 : 3"}}}), 27,
       "neither 1 (join) nor 2 (leave)"},
      {"leave with QoS values", edited({{31, {"U : 1 : 0 : 2 : 0 : 5 : 0"}}}), 31, "\"0 : 0 : 0\""},
      {"band with a leading zero", edited({{18, {"U : 1 : 0 : 1 : 077 : 1 : 4"}}}), 18,
       "the band \"077\""},
      {"band with a fraction", edited({{18, {"U : 1 : 0 : 1 : 77.0 : 1 : 4"}}}), 18, "the band"},
      {"a million in plain digits", edited({{18, {"U : 1 : 0 : 1 : 1000000 : 1 : 4"}}}), 18,
       "the band \"1000000\""},
      {"exponent not as %g writes it", edited({{18, {"U : 1 : 0 : 1 : 1.0e+06 : 1 : 4"}}}), 18,
       "the band"},
      {"delay not a number", edited({{18, {"U : 1 : 0 : 1 : 77 : x : 4"}}}), 18, "the delay \"x\""},
      {"hops beyond 32 bits", edited({{18, {"U : 1 : 0 : 1 : 77 : 1 : 2147483648"}}}), 18,
       "hop count"},
      {"blank instead of separator", edited({{18, {"U : 1 : 0 : 1 : 77 :  1 : 4"}}}), 18,
       "the delay"},
      {"stray line between records", edited({{24, {"", "// JOIN-LEAVE  Join-Delete Randomly "}}}),
       24, "expected a request record"},
  });
}

TEST(TraceFaults, SummaryAndTheEndOfTheTrace) {
  const std::string whole = joined(exampleLines());
  expectCaught({
      {"wrong join count", edited({{46, {" // Trans: 7 J: 5 R: 3"}}}), 46,
       "J: 5 but the trace holds 4 join records"},
      {"wrong leave count", edited({{46, {" // Trans: 7 J: 4 R: 2"}}}), 46,
       "R: 2 but the trace holds 3 leave records"},
      {"summary misspelt", edited({{46, {" // Trans: 7 J: 4 R:3"}}}), 46, "expected the summary"},
      {"summary missing", edited({{46, {}}}), 46, "before its summary line"},
      {"cut after a record", edited({{41, {}}, {42, {}}, {43, {}}, {44, {}}, {45, {}}, {46, {}}}),
       41, "truncated"},
      {"cut inside a record", whole.substr(0, whole.find("U : 2 : 1 : 1 : 51")), 39,
       "before the request line"},
      {"cut inside a line", whole.substr(0, whole.find(" : 51 : 1 : 3")), 39, "has no newline"},
      {"summary without its newline", whole.substr(0, whole.size() - 1), 46, "has no newline"},
      {"text after the summary", whole + "\n", 47, "after the summary"},
      {"empty input", "", 1, "ends here"},
  });
}

TEST(TraceFaults, PhaseMarkersAndTheirRules) {
  const std::string endMarker = " // LEAVE end of session ";
  const std::string joinLeaveMarker = "// JOIN-LEAVE  Join-Delete Randomly ";
  expectCaught({
      {"end-of-session before join-leave", edited({{24, {endMarker}}}), 24,
       "end-of-session marker comes before the join-leave marker"},
      {"join-leave twice", edited({{41, {joinLeaveMarker}}}), 41, "a second join-leave marker"},
      {"beef-up after join-leave", edited({{41, {"// Start: Beef up session "}}}), 41,
       "beef-up marker after the join-leave marker"},
      {"summary before end of session", edited({{41, {}}}), 45,
       "summary line comes before the end-of-session marker"},
      {"beef-up marker missing", edited({{15, {}}}), 15, "beef-up marker"},
      {"beef-up marker misspelt", edited({{15, {"// Start: Beef up sessions "}}}), 15,
       "expected the beef-up marker"},
      {"leave in the beef-up phase", edited({{22, {"U : 1 : 0 : 2 : 0 : 0 : 0"}}}), 22,
       "a leave in the beef-up phase"},
      {"join in the end-of-session phase", edited({{44, {"U : 1 : 1 : 1 : 5 : 5 : 5"}}}), 44,
       "a join in the end-of-session phase"},
      {"beef-up out of session order",
       edited({{18, {"U : 2 : 1 : 1 : 81 : 4 : 2"}}, {22, {"U : 1 : 0 : 1 : 77 : 1 : 4"}}}), 18,
       "where session 0 comes next"},
      {"beef-up pass left unfinished", edited({{20, {}}, {21, {}}, {22, {}}, {23, {}}}), 20,
       "in the middle of a pass"},
      {"more beef-up passes than the size asks", edited({{3, {"// Average Group Size: 1"}}}), 18,
       "beyond the beef-up phase's 0 passes"},
  });
}

// What the header and the records imply about the run must hold for the whole trace. The
// network's size is never written, but a beef-up phase that stops early fixes it, and so does a
// join attempt that must have failed; every node anywhere must then lie below it.
TEST(TraceFaults, TheNetworkSizeTheRunImplies) {
  const Script shortBeefUp{
      5, 0, {0, 1}, {J(1, 0), J(0, 1)}, {L(1, 0), J(1, 0)}, {L(1, 0), L(0, 1)}};
  Script laterNode = shortBeefUp;
  laterNode.joinLeave[1] = J(2, 0);
  Script sourceBeyond = shortBeefUp;
  sourceBeyond.sources[1] = 2;
  expectSound({{"a beef-up phase cut short by full sessions", textOf(shortBeefUp)}});
  const std::string laterText = textOf(laterNode);
  expectCaught({
      {"average size raised above what the phase did", edited({{3, {"// Average Group Size: 3"}}}),
       24,
       "stops after 1 of its 2 passes (average group size 3) on line 24, which it does only once "
       "every session holds the whole network, so the network has 2 nodes (0 to 1); yet node 2 "
       "appears on line 22"},
      {"a node beyond that network later", laterText, lineOf(laterText, 3),
       "node 2 joins session 0, yet the network has only 2 nodes (0 to 1): the beef-up phase "
       "stops after 1 of its 4 passes"},
      {"a source beyond that network", textOf(sourceBeyond),
       lineOf(textOf(sourceBeyond), 0, "// JOIN"), "yet node 2 appears on line 7"},
      {"a source no network can have", edited({{7, {"S : 1 : 2147483647"}}}), 7,
       "the source \"2147483647\" is not a node (0 to 2147483646"},
      {"a joining node no network can have", edited({{27, {"U : 2147483647 : 1 : 1 : 5 : 5 : 5"}}}),
       27, "the node \"2147483647\" is not a node (0 to 2147483646"},
  });
}

// Ordered mode attempts join, leave, join, ... from a join. Two records of one type in a row
// therefore need a failed attempt of the other type between them, and that fails only on a
// full session (a join) or on one down to its source (a leave).
TEST(TraceFaults, OrderedJoinLeaveNeedsItsFailedAttempts) {
  const std::string random1 = testing::readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/001.out");
  const std::string random1Ordered = random1.substr(0, random1.find("0\n SESSIONS")) + "1" +
                                     random1.substr(random1.find("\n SESSIONS"));

  // One session of three nodes, full after the beef-up: its first leave needs no other proof.
  const Script fullThenLeave{3, 1, {0}, {J(1, 0), J(2, 0)}, {L(1, 0)}, {L(2, 0)}};
  Script twoLeaves = fullThenLeave;
  twoLeaves.joinLeave = {L(1, 0), L(2, 0)};
  twoLeaves.endOfSession = {};
  // A second session down to its source lets a leave attempt fail between two joins.
  const Script twoJoinsOneAlone{1, 1, {0, 0}, {}, {J(1, 0), J(2, 0)}, {L(1, 0), L(2, 0)}};
  const Script twoJoinsNoneAlone{2, 1, {0, 0}, {J(1, 0), J(1, 1)}, {J(2, 0), J(2, 1)}, {}};
  const std::string twoLeavesText = textOf(twoLeaves);
  const std::string noneAloneText = textOf(twoJoinsNoneAlone);

  expectSound({
      {"the first leave on a full session", textOf(fullThenLeave)},
      {"two joins while a session is alone", textOf(twoJoinsOneAlone)},
      {"a node beyond 2 in random mode", edited({{4, {"// Is Join-Leave ordered? (1=YES ): 0"}},
                                                 {39, {"U : 3 : 1 : 1 : 51 : 1 : 3"}},
                                                 {44, {"U : 3 : 1 : 2 : 0 : 0 : 0"}}})},
  });
  expectCaught({
      {"a random-mode trace said to be ordered", random1Ordered, 27,
       "the join-leave phase opens with a leave, yet ordered join-leave (flag 1) starts with a "
       "join attempt, which fails only on a session holding the whole network: none did, as such "
       "a session holds node 2 (line 22) and every node below it, 3 members, and the largest "
       "group has 2"},
      {"a node beyond the network the failed join fixed",
       edited({{39, {"U : 3 : 1 : 1 : 51 : 1 : 3"}}}), 39,
       "node 3 joins session 1, yet the network has only 3 nodes (0 to 2): the leaves on lines 31 "
       "and 35 in ordered join-leave need a failed join attempt between them"},
      {"two leaves once no session is full", twoLeavesText, lineOf(twoLeavesText, 3),
       "a leave right after the leave on line " + std::to_string(lineOf(twoLeavesText, 2)) +
           ", yet ordered join-leave (flag 1) alternates join and leave attempts, and the join "
           "attempt between them fails only on a session holding the whole network: no session "
           "held all 3 nodes then (the leave that opens ordered join-leave on line " +
           std::to_string(lineOf(twoLeavesText, 2)) + " needs a failed join attempt"},
      {"two joins while no session is alone", noneAloneText, lineOf(noneAloneText, 3),
       "a join right after the join on line " + std::to_string(lineOf(noneAloneText, 2)) +
           ", yet ordered join-leave (flag 1) alternates join and leave attempts"},
  });
}

// The end-of-session phase makes one leave attempt per member still joined when it starts,
// and the counter starts from a 32-bit parameter and ends its join-leave phase at another.
TEST(TraceFaults, TheRunsEndAndItsCounter) {
  const Script oneAlone{2, 0, {0, 0}, {J(1, 0), J(1, 1)}, {}, {L(1, 0)}};
  Script noneAlone = oneAlone;
  noneAlone.endOfSession = {};
  const std::string noneAloneText = textOf(noneAlone);
  const auto summary = [](const char* trans) {
    return edited({{46, {std::string(" // Trans: ") + trans + " J: 4 R: 3"}}});
  };
  expectSound({
      {"an attempt failed on a session left alone", textOf(oneAlone)},
      {"the largest starting counter", summary("2147483648")},
      {"the smallest starting counter", summary("-2147483641")},
  });
  expectCaught({
      {"members left with no session alone", noneAloneText, lineOf(noneAloneText, 0, " // Trans"),
       "the end-of-session phase makes 2 leave attempts, one per member joined when it starts, "
       "and 2 are still joined at its end"},
      {"a starting counter below 32 bits", summary("-2147483642"), 46,
       "leaves a starting counter outside the 32-bit range"},
      {"a starting counter above 32 bits", summary("2147483655"), 46,
       "leaves a starting counter outside the 32-bit range"},
      {"a join-leave end beyond maxTrans", summary("2147483649"), 46,
       "puts the counter at 2147483648 when the join-leave phase ends"},
  });
}

TEST(TraceFaults, HeaderTableAndGroupBlocks) {
  std::string crlf;
  for (const auto& line : exampleLines()) crlf += line + "\r\n";
  expectCaught({
      {"first line without its trailing blank", edited({{1, {"// Print Group requests GRP:"}}}), 1,
       "expected"},
      {"carriage returns", crlf, 1, "carriage return"},
      {"average size not a number", edited({{3, {"// Average Group Size: two"}}}), 3,
       "average group size \"two\""},
      {"ordered flag beyond 32 bits",
       edited({{4, {"// Is Join-Leave ordered? (1=YES ): 4294967296"}}}), 4, "ordered flag"},
      {"table out of order", edited({{7, {"S : 2 : 0"}}}), 7, "where session 1 comes next"},
      {"table line malformed", edited({{7, {"S : 1 :0"}}}), 7, "a session line"},
      {"empty table", edited({{6, {}}, {7, {}}}), 6, "the session table is empty"},
      {"group block of the wrong session", edited({{13, {"I : 0"}}}), 13, "\"I : 1\""},
      {"a group block short", edited({{12, {}}, {13, {}}, {14, {}}}), 12,
       "after 1 of the 2 group blocks"},
      {"a group block too many",
       edited({{15, {"GRP_REQ {", "I : 2", "}", "// Start: Beef up session "}}}), 15,
       "a group block beyond the 2 sessions"},
  });
}

TEST(TraceFaults, AnOverlongLineIsRefusedNotBuffered) {
  std::string text = edited({{2, {std::string(5000, '/')}}});
  MemorySource source(text);
  TraceReader reader(source, 1024);
  TraceEvent event;
  try {
    while (reader.next(event)) {
    }
    FAIL() << "accepted a line longer than the buffer";
  } catch (const TraceError& e) {
    EXPECT_EQ(e.line(), 2u);
    EXPECT_NE(e.reason().find("longer than 1024 bytes"), std::string::npos) << e.what();
  }
  // Refused once, like any other fault: the reader does not try the line again.
  EXPECT_NO_THROW(EXPECT_FALSE(reader.next(event)));
}

}  // namespace
}  // namespace grouptrace
