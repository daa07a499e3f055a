#pragma once

#include <cstdint>
#include <vector>

#include "generator/probab.h"
#include "generator/session.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// The scenario: its parameters, its sessions, and the run that produces the
// trace.
//
// A run hands every piece of the trace, in order, to one event sink: the trace
// text, CSV, JSON Lines, arrays and a simulator's callbacks are all consumers
// of the same stream, in the public event types. A sink provides
//   header(const TraceHeader&)          once
//   sessionEntry(const SessionEntry&)   once per session, in index order
//   phase(const PhaseStart&)            beef-up, join-leave, end of session
//   join(const JoinRecord&)             a performed join
//   leave(const LeaveRecord&)           a performed leave
//   summary(const TraceSummary&)        last
// and is a template argument, so the text path pays for no indirection.
class Creation {
 public:
  // Creates the sessions in index order. Their sources are the first draws of
  // the generator's initial, unseeded state, so they never depend on the seed.
  explicit Creation(const Parameters& parameters);

  // The whole trace: header, seeding, the beef-up, join-leave and
  // end-of-session phases, and the summary.
  template <class Sink>
  RunResult run(SEED_type req_SEED, Sink& out);

  Session* getSess(std::int32_t s) { return &allSess[static_cast<std::size_t>(s)]; }
  void oneMoreTrans() { ++currTrans; }
  int getOrderedJoinLeave() const { return orderedJoinLeave; }

  // One draw: the session a join-leave or end-of-session request goes to.
  std::int32_t selectSess() { return draws.uni_inter_Prob(sessionRange); }
  // How the requests after this one draw, for prefetchNext to find their
  // sessions: none (no prefetching), random or ordered join-leave requests,
  // or the leaves of the end of session.
  enum class Lookahead { none, random, ordered, leaves };
  template <class Sink>
  int doJoin(Sink& out, Lookahead ahead) {
    Session* s = getSess(selectSess());
    prefetchNext(ahead, 4);
    return s->newJoin(draws, qos, out);
  }
  template <class Sink>
  int doRemove(Sink& out, Lookahead ahead) {
    Session* s = getSess(selectSess());
    prefetchNext(ahead, 1);
    return s->newRemove(draws, out);
  }
  template <class Sink>
  void printSessions(Sink& out) {
    out.header(TraceHeader{avgSize, orderedJoinLeave, std::nullopt});
    for (std::int32_t i = 0; i < nSessions; ++i) {
      out.sessionEntry(SessionEntry{i, getSess(i)->getSource()});
    }
  }

 private:
  // With more sessions than the caches hold, each request would wait for its
  // session to come from memory. The draws are known in advance, so the
  // session of the next request, if this one is performed as it almost always
  // is, is fetched while this one runs; a wrong guess costs a wasted fetch.
  // A fetch takes longer than one request on a small network, so the
  // sessions of the next two requests are asked for: `draws` is what this
  // request draws after its selection if performed (4 for a join, 1 for a
  // leave), then in random mode the coin, which also tells the next request's
  // kind, then the next selection.
  void prefetchNext(Lookahead ahead, int draws) {
    if (ahead == Lookahead::none) return;
    const int coin = ahead == Lookahead::random ? 1 : 0;
    const int next = draws + coin + 1;
    prefetchSession(this->draws.peekRaw(next));
    bool nextIsLeave = ahead == Lookahead::leaves || (ahead == Lookahead::ordered && draws == 4);
    if (coin != 0) nextIsLeave = this->draws.peekRaw(next - 1) > (std::uint64_t{1} << 47);
    prefetchSession(this->draws.peekRaw(next + (nextIsLeave ? 1 : 4) + coin + 1));
  }
  void prefetchSession(std::uint64_t selectingDraw) {
    const Session* s = getSess(sessionRange.scale(selectingDraw));
    __builtin_prefetch(s);
    __builtin_prefetch(reinterpret_cast<const char*>(s) + sizeof(Session) - 1);
  }

  // False when no session can accept a join or give up a member, so no request
  // can ever be performed again (a network of one node).
  bool anyRequestPossible() const;

  std::int32_t orderedJoinLeave;
  NODEID nNodes;
  std::int32_t nSessions;
  std::int32_t maxTrans;
  Count currTrans;
  // By value and side by side: a request's one wait is for its session.
  std::vector<Session> allSess;
  std::int32_t avgSize;
  // The requirement bounds, shared by every session's joins.
  QosRanges qos;
  // The run's own stream: nothing else in the process draws from it, so runs
  // in other threads or other copies of the library never shift its draws.
  Probab draws;
  // The bounds of selectSess's draw, 0 to nSessions - 1.
  Probab::DrawRange sessionRange;
  bool prefetchSessions;
};

template <class Sink>
RunResult Creation::run(SEED_type req_SEED, Sink& out) {
  printSessions(out);
  draws.initRandomProb(req_SEED);

  Count nJoins = 0;
  Count nRemoves = 0;
  out.phase(PhaseStart{TracePhase::beefUp});
  for (Count size = 1; size < avgSize; ++size) {
    bool joinedAny = false;
    for (std::int32_t sessIDX = 0; sessIDX < nSessions; ++sessIDX) {
      if (getSess(sessIDX)->newJoin(draws, qos, out) == 1) {
        oneMoreTrans();
        ++nJoins;
        joinedAny = true;
      }
    }
    // A pass in which no session could grow means every session is full, and
    // stays full: the remaining passes would draw nothing and write nothing.
    if (!joinedAny) break;
  }

  int isPrevReqJoin = getOrderedJoinLeave() != 0 ? 0 : draws.coinFlip();
  // Locals, so that the loop keeps them in registers: the sink's writes may
  // alias any member.
  const int coin = getOrderedJoinLeave() == 0 ? 1 : 0;
  const Lookahead ahead =
      !prefetchSessions ? Lookahead::none : (coin != 0 ? Lookahead::random : Lookahead::ordered);
  out.phase(PhaseStart{TracePhase::joinLeave});
  RunStatus status = RunStatus::complete;
  if (currTrans < maxTrans && !anyRequestPossible()) {
    // Requests only ever fail here, so the counter would never move.
    status = RunStatus::stalled;
  } else {
    // The counter, too, is kept in a register for the loop.
    Count trans = currTrans;
    const Count transLimit = maxTrans;
    while (trans < transLimit) {
      if (isPrevReqJoin == 0) {
        const int joined = doJoin(out, ahead);
        isPrevReqJoin = 1;
        if (joined == 1) {
          ++nJoins;
          ++trans;
        }
      } else {
        const int removed = doRemove(out, ahead);
        isPrevReqJoin = 0;
        if (removed == 1) {
          ++nRemoves;
          ++trans;
        }
      }
      if (coin != 0) isPrevReqJoin = draws.coinFlip();
    }
    currTrans = trans;
  }

  const Count excess = nJoins - nRemoves;
  out.phase(PhaseStart{TracePhase::endOfSession});
  for (Count i = 1; i <= excess; ++i) {
    // Every session back to its source alone: the remaining attempts could only
    // draw, and nothing after this phase draws.
    if (nJoins == nRemoves) break;
    if (doRemove(out, prefetchSessions ? Lookahead::leaves : Lookahead::none) == 1) {
      ++nRemoves;
      oneMoreTrans();
    }
  }

  out.summary(TraceSummary{currTrans, nJoins, nRemoves, 0});
  return RunResult{status, currTrans, nJoins, nRemoves};
}

}  // namespace grouptrace
