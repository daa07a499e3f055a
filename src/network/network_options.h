#pragma once

#include <array>
#include <string>
#include <string_view>

#include "grouptrace/generator.h"

namespace grouptrace::network {

// The option names and accepted forms the messages below use.
inline constexpr std::string_view kTopologyForm = "--topology FILE";
inline constexpr std::string_view kTopologyFormatForm =
    "--topology-format inet, orbis, rocketfuel or graphml";
inline constexpr std::string_view kDelayBoundForm = "--delay-bound slack:LO:HI";
inline constexpr std::string_view kHopBoundForm = "--hop-bound slack:LO:HI";
inline constexpr std::string_view kBandForm = "--band per-join or per-session";
inline constexpr std::string_view kPlacementForm = "--placement uniform or affinity:BETA";

// "slack:LO:HI" with 0 <= LO <= HI, both finite; throws std::invalid_argument
// naming `form` otherwise. The text reads back to the same values.
PathSlack parsePathSlack(std::string_view form, std::string_view text);
std::string pathSlackText(const PathSlack& slack);

// Each option on the network as the command line, the Python module and the
// manifest name it, with its reader and its canonical text, as the timed
// model's options are (dynamic::OptionEntry).
struct OptionEntry {
  std::string_view option;   // "--delay-bound"
  std::string_view keyword;  // the Python keyword and manifest key: "delay_bound"
  std::string_view form;     // the accepted form, for messages and --help
  std::string_view meaning;  // a short description, for --help
  void (*apply)(RunConfig& config, std::string_view text);  // throws invalid_argument
  std::string (*text)(const RunConfig& config);             // empty: not given
};

extern const std::array<OptionEntry, 6> kOptionTable;

// "uniform" or "affinity:BETA" with BETA finite; throws std::invalid_argument
// naming the option otherwise. The text reads back to the same placement.
Placement parsePlacement(std::string_view text);
std::string placementText(const Placement& placement);

// Refuses options that need a network without one (std::invalid_argument
// naming the option): bounds from paths, placement by affinity, and a form
// for no file.
void validate(const RunConfig& config);

}  // namespace grouptrace::network
