#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// What the row formats' writers share. Values are written exactly: band and
// delay as whole numbers, never in exponent form.

namespace format_detail {

// Room for the longest line either writer makes: its fixed text and seven
// numbers of at most 24 characters.
inline constexpr std::size_t kLineRoom = 512;

// A band or delay: every generated one is a whole number of the 32-bit range;
// one read back from a trace text is whole too, but may be larger. Anything
// else (only a hand-made trace could hold it) is written in the shortest form
// that reads back as the same double, or as `invalid` where that is no number.
template <class Line>
void exactNumber(Line& line, double v, std::string_view invalid) {
  if (v > -9.2e18 && v < 9.2e18 && v == std::trunc(v)) {
    line.integer(static_cast<std::int64_t>(v));
  } else if (!std::isfinite(v)) {
    line.text(invalid);
  } else {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
    line.text(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
  }
}

// A request's time: the shortest decimal that reads back as the same double.
template <class Line>
void time(Line& line, double t) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, t).ptr;
  line.text(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
}

}  // namespace format_detail

}  // namespace grouptrace
