#include "trace_replay.h"

#include <limits>
#include <string>
#include <utility>

#include "common/number_text.h"
#include "grouptrace/trace_error.h"

namespace grouptrace {
namespace {

std::string str(Count value) {
  return std::to_string(value);
}

[[noreturn]] void refuse(std::uint64_t line, const std::string& reason) {
  throw TraceError(line, reason);
}

}  // namespace

void TraceReplay::addSession(NODEID source, std::uint64_t line) {
  sources_.push_back(source);
  members_.emplace_back(MemberSet::kLargestNetwork);
  members_.back().insert(source);
  ++aloneSessions_;
  noteNode(source, line);
}

Count TraceReplay::sessionsOfSize(Count size) const {
  Count n = 0;
  for (const MemberSet& set : members_) n += set.size() == size ? 1 : 0;
  return n;
}

void TraceReplay::fixNetwork(NODEID nodes, std::string why, std::uint64_t line) {
  if (largestNode_ >= nodes) {
    refuse(line, why + ", so the network has " + str(nodes) + " nodes (0 to " + str(nodes - 1) +
                     "); yet node " + str(largestNode_) + " appears on line " +
                     str(static_cast<Count>(largestNodeLine_)));
  }
  networkSize_ = nodes;
  networkWhy_ = std::move(why);
  fullSessions_ = sessionsOfSize(nodes);
}

void TraceReplay::startPhase(TracePhase phase, std::uint64_t line) {
  if (phase_ == TracePhase::beefUp) {
    if (beefUpNext_ != 0) {
      refuse(line, "the beef-up phase ends in the middle of a pass: sessions " + str(beefUpNext_) +
                       " to " + str(sessionCount() - 1) +
                       " have not joined in it, yet sessions all grow alike and so fill in the "
                       "same pass");
    }
    const Count passes = header_.avgSize > 1 ? Count{header_.avgSize} - 1 : 0;
    if (beefUpPasses_ < passes) {
      // A pass in which no session could grow ends the phase, and sessions only stop growing
      // once they hold every node.
      fixNetwork(static_cast<NODEID>(beefUpPasses_ + 1),
                 "the beef-up phase stops after " + str(beefUpPasses_) + " of its " + str(passes) +
                     " passes (average group size " + str(header_.avgSize) + ") on line " +
                     str(static_cast<Count>(line)) +
                     ", which it does only once every session holds the whole network",
                 line);
    }
  }
  if (phase == TracePhase::endOfSession) endAttempts_ = joins_ - leaves_;
  phase_ = phase;
}

void TraceReplay::requireFailedLeave(std::uint64_t line) {
  if (aloneSessions_ > 0) return;
  refuse(line, "a join right after the join on line " + str(static_cast<Count>(lastRequestLine_)) +
                   ", yet ordered join-leave (flag " + str(header_.orderedJoinLeave) +
                   ") alternates join and leave attempts, and the leave attempt between them "
                   "fails only on a session down to its source: every session had other members "
                   "then");
}

void TraceReplay::requireFailedJoin(std::uint64_t line) {
  // Put together only for a refusal.
  auto context = [&] {
    const std::string flag = "ordered join-leave (flag " + str(header_.orderedJoinLeave) + ")";
    if (lastRequest_ == Request::none) {
      return "the join-leave phase opens with a leave, yet " + flag +
             " starts with a join attempt, which fails only on a session holding the whole "
             "network";
    }
    return "a leave right after the leave on line " + str(static_cast<Count>(lastRequestLine_)) +
           ", yet " + flag +
           " alternates join and leave attempts, and the join attempt between them fails only "
           "on a session holding the whole network";
  };
  if (networkSize_ != 0) {
    if (fullSessions_ == 0) {
      refuse(line, context() + ": no session held all " + str(networkSize_) + " nodes then (" +
                       networkWhy_ + ")");
    }
    return;
  }
  // A full session holds every node below the network's size, the largest node seen included,
  // and no node beyond: exactly largestNode_ + 1 members.
  const Count size = Count{largestNode_} + 1;
  const Count full = sessionsOfSize(size);
  if (full == 0) {
    Count largest = 0;
    for (std::int32_t s = 0; s < sessionCount(); ++s) {
      if (groupSize(s) > largest) largest = groupSize(s);
    }
    refuse(line, context() + ": none did, as such a session holds node " + str(largestNode_) +
                     " (line " + str(static_cast<Count>(largestNodeLine_)) +
                     ") and every node below it, " + str(size) +
                     " members, and the largest group has " + str(largest));
  }
  networkSize_ = static_cast<NODEID>(size);
  networkWhy_ = lastRequest_ == Request::none
                    ? "the leave that opens ordered join-leave on line " +
                          str(static_cast<Count>(line)) + " needs a failed join attempt before it"
                    : "the leaves on lines " + str(static_cast<Count>(lastRequestLine_)) + " and " +
                          str(static_cast<Count>(line)) +
                          " in ordered join-leave need a failed join attempt between them";
  networkWhy_ += ", which only a session holding the whole network gives";
  fullSessions_ = full;
}

// The requests of a join-leave phase, nearly every record of a trace, take the short way: the
// rules that apply to them come first as one test, and the refusals stay out of the way. Anything
// else, and any request that breaks a rule, goes through the whole of joinInAnyPhase() or
// leaveInAnyPhase(), which words the refusal.
void TraceReplay::join(NODEID node, std::int32_t session, std::uint64_t line) {
  const auto s = static_cast<std::size_t>(session);
  if (phase_ != TracePhase::joinLeave || (ordered() && lastRequest_ == Request::join) ||
      (networkSize_ != 0 && node >= networkSize_)) [[unlikely]] {
    joinInAnyPhase(node, session, line);
    return;
  }
  MemberSet& set = members_[s];
  const Count before = set.size();
  // The source is a member throughout, so this also turns it away.
  if (!set.insertIfAbsent(node, pathsAhead_)) [[unlikely]] {
    joinInAnyPhase(node, session, line);
    return;
  }
  joined(before, node, line);
  lastRequest_ = Request::join;
  lastRequestLine_ = line;
  ++joinLeaveRequests_;
}

void TraceReplay::leave(NODEID node, std::int32_t session, std::uint64_t line) {
  const auto s = static_cast<std::size_t>(session);
  if (phase_ != TracePhase::joinLeave || (ordered() && lastRequest_ != Request::join) ||
      node == sources_[s]) [[unlikely]] {
    leaveInAnyPhase(node, session, line);
    return;
  }
  MemberSet& set = members_[s];
  const Count before = set.size();
  if (!set.eraseIfPresent(node, pathsAhead_)) [[unlikely]] {
    leaveInAnyPhase(node, session, line);
    return;
  }
  left(before);
  lastRequest_ = Request::leave;
  lastRequestLine_ = line;
  ++joinLeaveRequests_;
}

void TraceReplay::joinInAnyPhase(NODEID node, std::int32_t session, std::uint64_t line) {
  // The message is only put together when the join is refused.
  auto who = [&] { return "node " + str(node) + " joins session " + str(session); };
  if (phase_ == TracePhase::endOfSession) {
    refuse(line, "a join in the end-of-session phase, which only has leaves (" + who() + ")");
  }
  if (phase_ == TracePhase::beefUp) {
    const Count passes = header_.avgSize > 1 ? Count{header_.avgSize} - 1 : 0;
    if (beefUpNext_ == 0 && beefUpPasses_ >= passes) {
      refuse(line, who() + " beyond the beef-up phase's " + str(passes) +
                       " passes over the sessions (average group size " + str(header_.avgSize) +
                       ")");
    }
    if (session != beefUpNext_) {
      refuse(line, who() + " where session " + str(beefUpNext_) +
                       " comes next: the beef-up phase joins each session once per pass, in "
                       "index order");
    }
  }
  if (node == source(session)) {
    refuse(line, who() + ", whose source it is: a source is a member throughout");
  }
  MemberSet& set = members_[static_cast<std::size_t>(session)];
  // Ahead of the membership test, which words its own refusal first, yet with the same outcome:
  // no member lies beyond a known network size, as every node seen is below it.
  if (networkSize_ != 0 && node >= networkSize_) {
    refuse(line, who() + ", yet the network has only " + str(networkSize_) + " nodes (0 to " +
                     str(networkSize_ - 1) + "): " + networkWhy_);
  }
  if (phase_ == TracePhase::joinLeave && ordered() && lastRequest_ == Request::join) {
    if (set.contains(node)) refuse(line, who() + " but is already a member");
    requireFailedLeave(line);
  }

  const Count before = set.size();
  // One search both tests and places the node.
  if (!set.insertIfAbsent(node)) refuse(line, who() + " but is already a member");
  joined(before, node, line);
  if (phase_ == TracePhase::beefUp) {
    if (++beefUpNext_ == sessionCount()) {
      beefUpNext_ = 0;
      ++beefUpPasses_;
    }
  } else {
    lastRequest_ = Request::join;
    lastRequestLine_ = line;
    ++joinLeaveRequests_;
  }
}

void TraceReplay::leaveInAnyPhase(NODEID node, std::int32_t session, std::uint64_t line) {
  auto who = [&] { return "node " + str(node) + " leaves session " + str(session); };
  if (phase_ == TracePhase::beefUp) {
    refuse(line, "a leave in the beef-up phase, which only has joins (" + who() + ")");
  }
  if (node == source(session)) refuse(line, who() + ", whose source it is: a source never leaves");
  MemberSet& set = members_[static_cast<std::size_t>(session)];
  // The failed join this may need is judged on the sessions as they stand before the leave.
  if (phase_ == TracePhase::joinLeave && ordered() && lastRequest_ != Request::join) {
    if (!set.contains(node)) refuse(line, who() + " but is not a member");
    requireFailedJoin(line);
  }

  const Count before = set.size();
  // One search both tests and removes the node.
  if (!set.eraseIfPresent(node)) refuse(line, who() + " but is not a member");
  left(before);
  if (phase_ == TracePhase::joinLeave) {
    lastRequest_ = Request::leave;
    lastRequestLine_ = line;
    ++joinLeaveRequests_;
  } else {
    // No more than endAttempts_ of these: each takes a member that joined and has not left, and
    // there are only that many.
    ++endLeaves_;
  }
}

void TraceReplay::finish(Count trans, Count joins, Count leaves, std::uint64_t line) {
  if (joins != joins_) {
    refuse(line, "the summary counts J: " + str(joins) + " but the trace holds " + str(joins_) +
                     " join records");
  }
  if (leaves != leaves_) {
    refuse(line, "the summary counts R: " + str(leaves) + " but the trace holds " + str(leaves_) +
                     " leave records");
  }
  // The counter starts at a 32-bit parameter and counts every request.
  const Count requests = joins_ + leaves_;
  if (trans < kInt32Min + requests || trans > kInt32Max + requests) {
    refuse(line, "the summary counts Trans: " + str(trans) + ", which less its " + str(requests) +
                     " requests leaves a starting counter outside the 32-bit range of the "
                     "parameter it comes from");
  }
  // A join-leave phase with requests ran until the counter reached maxTrans, a 32-bit parameter.
  if (joinLeaveRequests_ > 0 && trans - endLeaves_ > kInt32Max) {
    refuse(line, "the summary counts Trans: " + str(trans) + ", which puts the counter at " +
                     str(trans - endLeaves_) +
                     " when the join-leave phase ends, yet that phase stops as it reaches "
                     "maxTrans, a 32-bit parameter");
  }
  // The phase makes one leave attempt per member not yet gone when it starts, and an attempt
  // fails only on a session down to its source, after which that session stays so.
  if (joinedMembers_ > 0 && aloneSessions_ == 0) {
    refuse(line, "the end-of-session phase makes " + str(endAttempts_) +
                     " leave attempts, one per member joined when it starts, and " +
                     str(static_cast<Count>(joinedMembers_)) +
                     " are still joined at its end; yet an attempt fails only on a session down "
                     "to its source, and no session is");
  }
}

}  // namespace grouptrace
