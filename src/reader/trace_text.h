#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The pieces of trace text the reader takes apart: reals exactly as the trace
// writer prints them.
namespace grouptrace::trace_text {

// A whole number as printf's %g writes it: plain digits below a million in
// magnitude, six significant digits with an exponent from there on (1e+06,
// -2.14748e+09). Empty for any other spelling, and for values outside the
// 32-bit range that every bound of a run lies in.
std::optional<double> parseWholeReal(std::string_view text);

}  // namespace grouptrace::trace_text
