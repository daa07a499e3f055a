#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "grouptrace/parameters.h"

namespace grouptrace {

// Everything the system says of one of the 13 parameters. Row i is value i+1
// of the stream; the stream reader, the command-line options, --help,
// --print-params, the manifest (whose key is the name) and the Python module
// all take their names from here.
struct ParameterEntry {
  std::string_view name;     // as the scenario and the manifest call it
  std::string_view option;   // the command-line option that sets it
  std::string_view keyword;  // the Python keyword
  std::string_view meaning;  // a short description, for --help
  std::int32_t Parameters::*field;
};

inline constexpr std::array<ParameterEntry, 13> kParameterTable = {{
    {"nNodes", "--nodes", "nodes", "nodes in the network (at least 1)", &Parameters::nNodes},
    {"nSessions", "--sessions", "sessions", "multicast sessions (at least 1)",
     &Parameters::nSessions},
    {"maxTrans", "--max-trans", "max_trans",
     "the join-leave phase runs until the counter "
     "reaches this",
     &Parameters::maxTrans},
    {"currTrans", "--curr-trans", "curr_trans", "starting value of the transaction counter",
     &Parameters::currTrans},
    {"avgSize", "--avg-size", "avg_size", "target group size reached in the beef-up phase",
     &Parameters::avgSize},
    {"nQoSLevels", "--qos-levels", "qos_levels",
     "QoS levels (recorded, does not change the "
     "trace)",
     &Parameters::nQoSLevels},
    {"maxBand", "--max-band", "max_band", "bandwidth upper bound", &Parameters::maxBand},
    {"minBand", "--min-band", "min_band", "bandwidth lower bound", &Parameters::minBand},
    {"minDelay", "--min-delay", "min_delay", "delay lower bound", &Parameters::minDelay},
    {"maxDelay", "--max-delay", "max_delay", "delay upper bound", &Parameters::maxDelay},
    {"minHops", "--min-hops", "min_hops", "hop-count lower bound", &Parameters::minHops},
    {"maxHops", "--max-hops", "max_hops", "hop-count upper bound", &Parameters::maxHops},
    {"orderedJoinLeave", "--ordered", "ordered",
     "nonzero: strict join/leave alternation; 0: "
     "random",
     &Parameters::orderedJoinLeave},
}};

// The installed list of names is the table's first column.
constexpr bool namesAgree() {
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    if (kParameterTable[i].name != kParameterNames[i]) return false;
  }
  return kParameterTable.size() == kParameterNames.size();
}
static_assert(namesAgree());

}  // namespace grouptrace
