#pragma once

#include <cstdint>
#include <string_view>

#include "reader/row_trace_reader.h"

namespace grouptrace {

// Takes a JSON Lines line apart; throws TraceError naming `line` for anything
// that is not one of the form's objects.
TraceRow parseJsonLinesRow(std::string_view text, std::uint64_t line);

}  // namespace grouptrace
