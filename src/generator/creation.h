#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "common/run_monitor.h"
#include "generator/probab.h"
#include "generator/session.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"
#include "placement/placed_sessions.h"

namespace grouptrace {

using placement::Locality;

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
  // With a locality, each join takes its node near to or far from its
  // session's tree on the network, whose nodes must be nNodes. Throws
  // std::invalid_argument for an affinity that is not finite.
  explicit Creation(const Parameters& parameters,
                    const std::optional<Locality>& locality = std::nullopt);

  // The whole trace: header, seeding, the beef-up, join-leave and
  // end-of-session phases, and the summary. The monitor is called between
  // stretches of about kMonitorSteps requests.
  template <class Sink>
  RunResult run(SEED_type req_SEED, Sink& out, RunMonitor monitor = {});

  Session* getSess(std::int32_t s) { return &allSess[static_cast<std::size_t>(s)]; }
  void oneMoreTrans() { ++currTrans; }
  int getOrderedJoinLeave() const { return orderedJoinLeave; }

  // One draw: the session a join-leave or end-of-session request goes to.
  std::int32_t selectSess() { return draws.uni_inter_Prob(sessionRange); }
  // How a phase lays out a request's draws, for finding those of the requests
  // after it (see prefetchNext and lookAhead).
  enum class Layout {
    beefUp,      // index, three QoS draws; sessions in turn
    random,      // selection, index, QoS draws for a join, the coin for the next kind
    ordered,     // selection, index, QoS draws for a join; joins and leaves alternate
    endSession,  // selection, index; leaves only
  };
  template <class Sink>
  int doJoin(Sink& out, Layout layout, bool sessionsAhead) {
    const std::int32_t s = selectSess();
    if (sessionsAhead) prefetchNext(layout, false);
    return joinSession(s, out);
  }
  template <class Sink>
  int doRemove(Sink& out, Layout layout, bool sessionsAhead) {
    const std::int32_t s = selectSess();
    if (sessionsAhead) prefetchNext(layout, true);
    return removeFromSession(s, out);
  }
  // A join, or a leave, of session s.
  template <class Sink>
  int joinSession(std::int32_t s, Sink& out) {
    if (!placed) return getSess(s)->newJoin(draws, qos, out);
    // The node draw keeps its place and picks the distance, so every other
    // draw of the run stays where it was (see PlacedSessions::choose).
    return getSess(s)->newJoinChosen(draws, qos, out, [this, s](std::uint64_t raw) {
      const NODEID node = placed->choose(s, static_cast<double>(raw) * Probab::kScale, seed,
                                         dynamic::Purpose::placeJoin, placed->nextJoin(s));
      placed->join(s, node);
      return node;
    });
  }
  template <class Sink>
  int removeFromSession(std::int32_t s, Sink& out) {
    if (!placed) return getSess(s)->newRemove(draws, out);
    return getSess(s)->newRemove(draws, out, [this, s](NODEID node) { placed->leave(s, node); });
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
  // A fetch takes several requests' time on a small network, so the session of
  // the request four ahead is asked for too (two ahead measured 20% slower with
  // 10^6 sessions, six no faster). Called once the request's selection is
  // drawn, with the request's kind.
  static constexpr int kSessionsAhead = 4;
  static_assert(6 * kSessionsAhead <= Probab::kMaxPeek);
  void prefetchNext(Layout layout, bool leave) {
    // The offset of each following request's selection.
    int next = drawsOf(layout, leave);
    for (int i = 1; i <= kSessionsAhead; ++i) {
      leave = nextLeave(layout, leave, next);
      if (i == 1 || i == kSessionsAhead) prefetchSession(this->draws.peekRaw(next));
      next += drawsOf(layout, leave);
    }
  }
  void prefetchSession(std::uint64_t selectingDraw) {
    const Session* s = getSess(sessionRange.scale(selectingDraw));
    __builtin_prefetch(s);
    __builtin_prefetch(reinterpret_cast<const char*>(s) + sizeof(Session) - 1);
  }

  // False when no session can accept a join or give up a member, so no request
  // can ever be performed again (a network of one node).
  bool anyRequestPossible() const;

  // Groups of many thousands keep their members in trees larger than the
  // caches, where a request waits for each level of its descent in turn. The
  // draws of the next few requests are known, so their descents are made a
  // level per request ahead of them (MemberSet::PathAhead): each request then
  // finds its path fetched, and the fetches of several requests overlap.
  struct Upcoming {
    std::int32_t session;
    bool leave;
    MemberSet::PathAhead path;
  };
  // Requests ahead; their draws must lie within Probab::kMaxPeek.
  // Four measured fastest with 4 groups of 10^6 (three and five were close).
  static constexpr int kUpcoming = 4;
  // Levels a path descends one request at a time; the levels above are few
  // and stay in the caches, and are descended at once.
  static constexpr int kStepLevels = 2;
  // A join in random order takes six draws; the last queued request's index
  // draw must lie within reach.
  static_assert(kUpcoming * 6 + 2 <= Probab::kMaxPeek);
  static_assert((kUpcoming & (kUpcoming - 1)) == 0, "a ring indexed by masking");
  // The draws a request takes when performed, from its first through its last.
  static int drawsOf(Layout layout, bool leave) {
    const int lead = layout == Layout::beefUp ? 0 : 1;
    const int coin = layout == Layout::random ? 1 : 0;
    return lead + 1 + (leave ? 0 : 3) + coin;
  }
  // The kind of the request whose draws start `first` draws from now, after
  // one of kind `lastLeave`: in random order the coin just before tells it.
  bool nextLeave(Layout layout, bool lastLeave, int first) const {
    switch (layout) {
      case Layout::beefUp:
        return false;
      case Layout::random:
        return draws.peekRaw(first - 1) > (std::uint64_t{1} << 47);
      case Layout::ordered:
        return !lastLeave;
      case Layout::endSession:
        break;
    }
    return true;
  }
  // Called as a request starts, before its first draw: steps the paths of the
  // requests queued behind it and queues the next ones. A request that is not
  // performed (a full or lone group draws nothing) makes the guesses after it
  // wrong until the queue has turned over; they then cost a wasted fetch.
  // Kept out of line: inlined, it crowded the registers of the request loop
  // of every run, where most runs never call it.
  [[gnu::noinline]] void lookAhead(Layout layout, bool currentLeave, std::int32_t currentSession) {
    int draws = drawsOf(layout, currentLeave);
    if (upcomingCount > 0) {
      upcomingFirst = (upcomingFirst + 1) & (kUpcoming - 1);
      --upcomingCount;
    }
    bool lastLeave = currentLeave;
    std::int32_t lastSession = currentSession;
    for (int i = 0; i < upcomingCount; ++i) {
      Upcoming& u = upcoming[(upcomingFirst + i) & (kUpcoming - 1)];
      getSess(u.session)->stepPath(u.path);
      draws += drawsOf(layout, u.leave);
      lastLeave = u.leave;
      lastSession = u.session;
    }
    for (; upcomingCount < kUpcoming; ++upcomingCount) {
      Upcoming& u = upcoming[(upcomingFirst + upcomingCount) & (kUpcoming - 1)];
      u.leave = nextLeave(layout, lastLeave, draws + 1);
      u.session = layout == Layout::beefUp ? (lastSession + 1 == nSessions ? 0 : lastSession + 1)
                                           : sessionRange.scale(this->draws.peekRaw(draws + 1));
      const int index = draws + (layout == Layout::beefUp ? 1 : 2);
      getSess(u.session)->startPath(u.path, u.leave, this->draws.peekRaw(index), kStepLevels);
      draws += drawsOf(layout, u.leave);
      lastLeave = u.leave;
      lastSession = u.session;
    }
  }
  void startLookAhead() { upcomingCount = 0; }

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
  bool fetchPaths;
  Upcoming upcoming[kUpcoming];
  int upcomingFirst = 0;
  int upcomingCount = 0;
  // Present when joins are placed by locality.
  std::unique_ptr<placement::PlacedSessions> placed;
  // The run's seed, which also names the draws of placement's own streams.
  SEED_type seed = 0;
};

template <class Sink>
RunResult Creation::run(SEED_type req_SEED, Sink& out, RunMonitor monitor) {
  printSessions(out);
  draws.initRandomProb(req_SEED);
  seed = req_SEED;

  Count nJoins = 0;
  Count nRemoves = 0;
  out.phase(PhaseStart{TracePhase::beefUp});
  startLookAhead();
  // A local, kept in a register: the sink's writes may alias any member.
  const bool paths = fetchPaths;
  Count watchedAt = 0;
  for (Count size = 1; size < avgSize; ++size) {
    if (nJoins - watchedAt >= kMonitorSteps) {
      watchRun(monitor, nJoins + nRemoves);
      watchedAt = nJoins;
    }
    bool joinedAny = false;
    for (std::int32_t sessIDX = 0; sessIDX < nSessions; ++sessIDX) {
      if (paths) lookAhead(Layout::beefUp, false, sessIDX);
      if (joinSession(sessIDX, out) == 1) {
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
  const bool sessionsAhead = prefetchSessions;
  const Layout layout = coin != 0 ? Layout::random : Layout::ordered;
  startLookAhead();
  out.phase(PhaseStart{TracePhase::joinLeave});
  RunStatus status = RunStatus::complete;
  if (currTrans < maxTrans && !anyRequestPossible()) {
    // Requests only ever fail here, so the counter would never move.
    status = RunStatus::stalled;
  } else {
    // The counter, too, is kept in a register for the loop.
    Count trans = currTrans;
    const Count transLimit = maxTrans;
    // Stretches of kMonitorSteps transactions with the watcher called between
    // them, so that the request loop inside stays the one it always was.
    const Count stretch =
        monitor.call == nullptr ? std::numeric_limits<Count>::max() : Count{kMonitorSteps};
    while (trans < transLimit) {
      const Count end = transLimit - trans > stretch ? trans + stretch : transLimit;
      while (trans < end) {
        if (paths) lookAhead(layout, isPrevReqJoin != 0, 0);
        if (isPrevReqJoin == 0) {
          const int joined = doJoin(out, layout, sessionsAhead);
          isPrevReqJoin = 1;
          if (joined == 1) {
            ++nJoins;
            ++trans;
          }
        } else {
          const int removed = doRemove(out, layout, sessionsAhead);
          isPrevReqJoin = 0;
          if (removed == 1) {
            ++nRemoves;
            ++trans;
          }
        }
        if (coin != 0) isPrevReqJoin = draws.coinFlip();
      }
      watchRun(monitor, nJoins + nRemoves);
    }
    currTrans = trans;
  }

  const Count excess = nJoins - nRemoves;
  out.phase(PhaseStart{TracePhase::endOfSession});
  startLookAhead();
  for (Count i = 1; i <= excess; ++i) {
    // Every session back to its source alone: the remaining attempts could only
    // draw, and nothing after this phase draws.
    if (nJoins == nRemoves) break;
    if (i % kMonitorSteps == 0) watchRun(monitor, nJoins + nRemoves);
    if (paths) lookAhead(Layout::endSession, true, 0);
    if (doRemove(out, Layout::endSession, sessionsAhead) == 1) {
      ++nRemoves;
      oneMoreTrans();
    }
  }

  out.summary(TraceSummary{currTrans, nJoins, nRemoves, 0});
  return RunResult{status, currTrans, nJoins, nRemoves};
}

}  // namespace grouptrace
