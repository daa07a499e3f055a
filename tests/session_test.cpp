#include "generator/session.h"

#include <gtest/gtest.h>

#include "generator/build_config.h"
#include "generator/flag_membership.h"
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
  QosRanges qos{100, 10, 1, 5, 1, 4};

  explicit Fixture(NODEID nNodes) : session(0, nNodes, draws) {}
  std::string text() { return trace.text(); }
};

TEST(Session, AFullSessionJoinsNobodyAndDrawsNothing) {
  // The same seed and joins twice; only the second run then asks a full
  // session for one more join. Output and the stream after it must agree.
  Fixture plain(3);
  plain.draws.initRandomProb(5);
  while (plain.session.memberCount() < 3)
    ASSERT_EQ(plain.session.newJoin(plain.draws, plain.qos, plain.trace.writer()), 1);
  const std::uint64_t nextDraw = plain.draws.nextRaw();

  Fixture full(3);
  full.draws.initRandomProb(5);
  while (full.session.memberCount() < 3)
    full.session.newJoin(full.draws, full.qos, full.trace.writer());
  EXPECT_EQ(full.session.newJoin(full.draws, full.qos, full.trace.writer()), 0);
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

// A request that cannot be made (a leave from the source alone, a join to a full session) has no
// path, and the one its slot held, maybe another session's, is stopped rather than stepped.
TEST(Session, ARequestThatCannotBeMadeLeavesNoPath) {
  if (kBaselineBuild) GTEST_SKIP() << "the flag scan fetches no paths";
  Fixture tall(100000000);
  for (NODEID v = 1; v <= 20000; ++v) {
    if (tall.session.isInSession(v * 4999) == 0) tall.session.setParti(v * 4999, 1);
  }
  MemberSet::PathAhead path;
  for (const bool leave : {true, false}) {
    tall.session.startPath(path, leave, 12345, 0);
    ASSERT_NE(path.node, nullptr);
    Fixture other(3);
    if (!leave) {
      other.draws.initRandomProb(2);
      while (other.session.memberCount() < 3) {
        other.session.newJoin(other.draws, other.qos, other.trace.writer());
      }
    }
    other.session.startPath(path, leave, 12345, 0);
    EXPECT_EQ(path.node, nullptr) << (leave ? "leave" : "join");
  }
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
  f.qos = QosRanges(64, 64, 7, 7, 3, 3);
  f.draws.initRandomProb(2);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(f.session.newJoin(f.draws, f.qos, f.trace.writer()), 1);
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

// Keeps the node of the last record.
struct LastNode {
  NODEID node = -1;
  void join(const JoinRecord& r) { node = r.node; }
  void leave(const LeaveRecord& r) { node = r.node; }
};

// A session finds a leave's member from the members it counts below its source
// instead of ranking the source at each leave. Sources anywhere in the network
// (a seeded stream draws them), groups that pass through every form of the set,
// and the plain rule beside it: the same draw must name the same member.
TEST(Session, LeavesNameTheMemberTheCandidateListWould) {
  for (const NODEID nNodes : {40, 700, 20000, 100000}) {
    for (const SEED_type seed : {3, 11}) {
      Probab draws;
      draws.initRandomProb(seed);
      Session session(0, nNodes, draws);
      const NODEID source = session.getSource();
      FlagMembership plain(nNodes);
      plain.insert(source);
      const QosRanges qos(100, 10, 1, 5, 1, 4);
      LastNode last;
      int aboveAndBelow[2] = {0, 0};
      for (int step = 0; step < 4000; ++step) {
        Probab reference = draws;
        // Grow for most of the first half, shrink in the second.
        const bool join = step % 10 < (step < 2000 ? 8 : 3);
        if (join) {
          const Count count = nNodes - plain.size();
          if (count == 0) continue;
          const NODEID expected =
              plain.nthNonMember(reference.uni_inter_Prob(0, static_cast<double>(count - 1), 0));
          ASSERT_EQ(session.newJoin(draws, qos, last), 1);
          ASSERT_EQ(last.node, expected) << nNodes << " step " << step;
          plain.insert(expected);
        } else {
          const Count count = plain.size() - 1;
          if (count == 0) {
            ASSERT_EQ(session.newRemove(draws, last), 0);
            continue;
          }
          const int idx = reference.uni_inter_Prob(1, static_cast<double>(count), 0);
          const NODEID expected = plain.nthMemberExcept(idx - 1, source);
          ASSERT_EQ(session.newRemove(draws, last), 1);
          ASSERT_EQ(last.node, expected) << nNodes << " step " << step;
          plain.erase(expected);
          ++aboveAndBelow[expected < source ? 0 : 1];
        }
        ASSERT_EQ(session.memberCount(), plain.size());
      }
      // Both sides of the source were exercised.
      EXPECT_GT(aboveAndBelow[0], 0) << nNodes << " source " << source;
      EXPECT_GT(aboveAndBelow[1], 0) << nNodes << " source " << source;
    }
  }
}

}  // namespace
}  // namespace grouptrace
