#pragma once

#include <string_view>

namespace grouptrace::trace_format {

// The fixed text of a trace, line by line without the newline, shared by the
// writer that produces it and the reader that parses it: simulators depend on
// every blank here.

inline constexpr std::string_view kTitle = "// Print Group requests GRP: ";
// The title up to where every version of it agrees: what tells the text apart.
inline constexpr std::string_view kOpening = kTitle.substr(0, 23);
inline constexpr std::string_view kColumns =
    "//  node: session: type of request: band:  del:  hops";
inline constexpr std::string_view kAverageSize = "// Average Group Size: ";
inline constexpr std::string_view kOrdered = "// Is Join-Leave ordered? (1=YES ): ";
inline constexpr std::string_view kTableOpen = " SESSIONS { ";
inline constexpr std::string_view kTableEntry = "S : ";
inline constexpr std::string_view kTableClose = "} ";
inline constexpr std::string_view kBlockOpen = "GRP_REQ {";
inline constexpr std::string_view kBlockIndex = "I : ";
inline constexpr std::string_view kBlockClose = "}";
inline constexpr std::string_view kRecordIndex = "I : 0 ";
inline constexpr std::string_view kRequest = "U : ";
inline constexpr std::string_view kSeparator = " : ";
inline constexpr std::string_view kSummary = " // Trans: ";
inline constexpr std::string_view kSummaryJoins = " J: ";
inline constexpr std::string_view kSummaryLeaves = " R: ";

// The phase markers, in the order the phases run: beef-up, join-leave,
// end of session.
inline constexpr std::string_view kMarkers[] = {
    "// Start: Beef up session ",
    "// JOIN-LEAVE  Join-Delete Randomly ",
    " // LEAVE end of session ",
};

// A request record up to its node: the block's opening line, its index line
// and the start of its request line, as one piece for the writer's and the
// reader's per-record paths.
inline constexpr std::string_view kRecordHead = "GRP_REQ {\nI : 0 \nU : ";
static_assert(kRecordHead.substr(0, kBlockOpen.size()) == kBlockOpen &&
              kRecordHead.substr(kBlockOpen.size() + 1, kRecordIndex.size()) == kRecordIndex &&
              kRecordHead.substr(kRecordHead.size() - kRequest.size()) == kRequest &&
              kRecordHead.size() == kBlockOpen.size() + kRecordIndex.size() + kRequest.size() + 2);

// What follows a record's session: a join's type and the start of its
// requirements, or a leave's type and its zero requirements.
inline constexpr std::string_view kJoinType = " : 1 : ";
inline constexpr std::string_view kLeaveRest = " : 2 : 0 : 0 : 0";
// A request line's end and the record's closing line.
inline constexpr std::string_view kRecordEnd = "\n}\n";

}  // namespace grouptrace::trace_format
