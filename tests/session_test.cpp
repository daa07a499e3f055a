#include "generator/session.h"

#include <gtest/gtest.h>

#include "generator/probab.h"
#include "test_support.h"

namespace grouptrace {
namespace {

// A session writing into memory, with its source drawn from the stream as a
// scenario draws it.
struct Fixture {
  testing::CapturedTrace trace;
  // A fresh stream, in its initial state when the source is drawn.
  Probab draws;
  Session session;

  explicit Fixture(NODEID nNodes) : session(0, nNodes, draws) {
    session.setQoS(1, 100, 10, 1, 5, 1, 4);
  }
  std::string text() { return trace.text(); }
};

TEST(Session, AFullSessionJoinsNobodyAndDrawsNothing) {
  // The same seed and joins twice; only the second run then asks a full
  // session for one more join. Output and the stream after it must agree.
  Fixture plain(3);
  plain.draws.initRandomProb(5);
  while (plain.session.memberCount() < 3)
    ASSERT_EQ(plain.session.newJoin(plain.draws, plain.trace.writer()), 1);
  const std::uint64_t nextDraw = plain.draws.nextRaw();

  Fixture full(3);
  full.draws.initRandomProb(5);
  while (full.session.memberCount() < 3) full.session.newJoin(full.draws, full.trace.writer());
  EXPECT_EQ(full.session.newJoin(full.draws, full.trace.writer()), 0);
  EXPECT_EQ(full.draws.nextRaw(), nextDraw) << "a join without candidates drew";
  EXPECT_EQ(full.text(), plain.text());
}

TEST(Session, TheSourceAloneNeverLeaves) {
  Fixture f(4);
  f.draws.initRandomProb(1);
  EXPECT_EQ(f.session.newRemove(f.draws, f.trace.writer()), 0);
  EXPECT_EQ(f.text(), "");
  EXPECT_EQ(f.session.isInSession(f.session.getSource()), 1);
}

// With the source and two other members, a leave takes either of the two, each
// about half the time, and never the source.
TEST(Session, LeavesChooseEvenlyAmongMembersOtherThanTheSource) {
  Fixture f(6);
  const NODEID source = f.session.getSource();
  const NODEID first = (source + 2) % 6;
  const NODEID second = (source + 5) % 6;
  int firstLeft = 0;
  const int rounds = 4000;
  f.draws.initRandomProb(9);
  for (int i = 0; i < rounds; ++i) {
    f.session.setParti(first, 1);
    f.session.setParti(second, 1);
    ASSERT_EQ(f.session.newRemove(f.draws, f.trace.writer()), 1);
    ASSERT_EQ(f.session.isInSession(source), 1);
    const bool firstGone = f.session.isInSession(first) == 0;
    ASSERT_NE(firstGone, f.session.isInSession(second) == 0) << "exactly one of the two leaves";
    firstLeft += firstGone ? 1 : 0;
    f.session.setParti(firstGone ? second : first, 0);
  }
  EXPECT_NEAR(firstLeft, rounds / 2, rounds / 20);
}

TEST(Session, EqualBoundsStillDrawAndJoinedNodesAreMembers) {
  Fixture f(50);
  f.session.setQoS(1, 64, 64, 7, 7, 3, 3);
  f.draws.initRandomProb(2);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(f.session.newJoin(f.draws, f.trace.writer()), 1);
  EXPECT_EQ(f.session.memberCount(), 11);
  const std::string text = f.text();
  std::size_t records = 0;
  for (std::size_t at = text.find("U : "); at != std::string::npos;
       at = text.find("U : ", at + 1)) {
    const std::string line = text.substr(at, text.find('\n', at) - at);
    EXPECT_NE(line.find(" : 1 : 64 : 7 : 3"), std::string::npos) << line;
    const NODEID node = std::stoi(line.substr(4));
    EXPECT_EQ(f.session.isInSession(node), 1);
    ++records;
  }
  EXPECT_EQ(records, 10u);
}

}  // namespace
}  // namespace grouptrace
