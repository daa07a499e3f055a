#pragma once

#include <type_traits>

#include "generator/build_config.h"
#include "generator/flag_membership.h"
#include "member_set/member_set.h"

namespace grouptrace {

// A session's members: the ordered set whose cost follows the group, or, in the
// straightforward build kept for measurements, one flag per node of the network.
// Both answer the same questions with the same nodes, so the trace is the same.
using Membership = std::conditional_t<kBaselineBuild, FlagMembership, MemberSet>;

}  // namespace grouptrace
