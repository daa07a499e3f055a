#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"
#include "member_set/member_set.h"

namespace grouptrace {

// The sessions as a trace's records leave them, and the rules of the run that wrote the records.
// Each record must be one the generator could have written next, given everything the trace
// has shown so far: what a record implies about the network (its size, a session that was full
// or down to its source) holds for the whole trace, so a record that contradicts an earlier one
// is refused on its own line with both facts named.
//
// Every refusal throws TraceError for the line it is given.
class TraceReplay {
 public:
  void setHeader(const TraceHeader& header) { header_ = header; }
  void addSession(NODEID source, std::uint64_t line);
  // Called on each phase marker after the first.
  void startPhase(TracePhase phase, std::uint64_t line);
  void join(NODEID node, std::int32_t session, std::uint64_t line);
  void leave(NODEID node, std::int32_t session, std::uint64_t line);
  // The summary's counts against the records, and what the run's end implies.
  void finish(Count trans, Count joins, Count leaves, std::uint64_t line);

  std::int32_t sessionCount() const { return static_cast<std::int32_t>(sources_.size()); }
  NODEID source(std::int32_t session) const { return sources_[static_cast<std::size_t>(session)]; }
  Count groupSize(std::int32_t session) const {
    return members_[static_cast<std::size_t>(session)].size();
  }
  bool isMember(std::int32_t session, NODEID node) const {
    return members_[static_cast<std::size_t>(session)].contains(node);
  }
  // The path a request for `node` in `session` will descend, fetched ahead a level per call
  // (see MemberSet::PathAhead).
  void startPath(std::int32_t session, NODEID node, MemberSet::PathAhead& path, int steps) const {
    members_[static_cast<std::size_t>(session)].startPath(path, MemberSet::PathTarget::node, node,
                                                          steps);
  }
  void stepPath(std::int32_t session, MemberSet::PathAhead& path) const {
    members_[static_cast<std::size_t>(session)].stepPath(path);
  }
  // Whether the reader fetches the requests' paths ahead, so that their own descents need not.
  void fetchPathsAhead(bool on) { pathsAhead_ = on; }

  Count joins() const { return joins_; }
  Count leaves() const { return leaves_; }
  std::size_t joinedMembers() const { return joinedMembers_; }

 private:
  enum class Request : std::uint8_t { none, join, leave };

  // Every rule checked, refusals included, for a request in any phase.
  void joinInAnyPhase(NODEID node, std::int32_t session, std::uint64_t line);
  void leaveInAnyPhase(NODEID node, std::int32_t session, std::uint64_t line);
  // The counts a join or leave that took place changes, given the session's size before it.
  void joined(Count before, NODEID node, std::uint64_t line) {
    // Counted without branches: in a small network these outcomes are close to random.
    aloneSessions_ -= before == 1 ? 1 : 0;
    fullSessions_ += before + 1 == networkSize_ ? 1 : 0;
    noteNode(node, line);
    ++joinedMembers_;
    ++joins_;
  }
  void left(Count before) {
    aloneSessions_ += before == 2 ? 1 : 0;
    fullSessions_ -= before == networkSize_ ? 1 : 0;
    --joinedMembers_;
    ++leaves_;
  }
  void noteNode(NODEID node, std::uint64_t line) {
    if (node > largestNode_) {
      largestNode_ = node;
      largestNodeLine_ = line;
    }
  }
  // The network's size is now known to be `nodes`, for the reason given.
  void fixNetwork(NODEID nodes, std::string why, std::uint64_t line);
  Count sessionsOfSize(Count size) const;
  // In ordered mode, a request of the same type as the one before it means the attempt between
  // them failed: a join attempt fails only on a full session, a leave attempt only on a session
  // down to its source.
  void requireFailedJoin(std::uint64_t line);
  void requireFailedLeave(std::uint64_t line);
  bool ordered() const { return header_.orderedJoinLeave != 0; }

  TraceHeader header_;
  TracePhase phase_ = TracePhase::beefUp;
  std::vector<NODEID> sources_;
  // The members of each session, its source included as in the generator: a set that never
  // empties never gives its leaf back only to take a new one at the next join.
  std::vector<MemberSet> members_;
  bool pathsAhead_ = false;
  std::size_t joinedMembers_ = 0;
  Count joins_ = 0;
  Count leaves_ = 0;

  // The beef-up phase joins every session once per pass, in index order, for at most
  // avgSize - 1 passes; it stops early only once every session holds the whole network.
  std::int32_t beefUpNext_ = 0;
  Count beefUpPasses_ = 0;

  // The trace never states the network's size. The largest node seen bounds it from below; a
  // beef-up phase that stops early, or a join attempt that must have failed, fixes it.
  NODEID largestNode_ = -1;
  std::uint64_t largestNodeLine_ = 0;
  NODEID networkSize_ = 0;   // 0 while unknown
  std::string networkWhy_;   // what fixed it, for the messages of later records
  Count fullSessions_ = 0;   // holding every node, once the size is known
  Count aloneSessions_ = 0;  // down to their source

  Request lastRequest_ = Request::none;
  std::uint64_t lastRequestLine_ = 0;
  Count joinLeaveRequests_ = 0;

  Count endAttempts_ = 0;
  Count endLeaves_ = 0;
};

}  // namespace grouptrace
