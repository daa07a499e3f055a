#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The pieces of trace text the reader takes apart: numbers exactly as the trace
// writer prints them, and lines quoted for messages.
namespace grouptrace::trace_text {

// A decimal integer in the writer's form: an optional minus and digits, with no
// leading zero, no plus and no "-0". Empty when the text is anything else or
// lies outside the 64-bit range.
std::optional<std::int64_t> parseInteger(std::string_view text);

// A whole number as printf's %g writes it: plain digits below a million in
// magnitude, six significant digits with an exponent from there on (1e+06,
// -2.14748e+09). Empty for any other spelling, and for values outside the
// 32-bit range that every bound of a run lies in.
std::optional<double> parseWholeReal(std::string_view text);

// A real in any decimal form from_chars reads (what writers of all kinds
// give), the whole of the text. Not-a-number and infinities are returned as
// they are, and a value too large for a double as an infinity of its sign, so
// that a caller can tell "not finite" from "not a number" (empty).
std::optional<double> parseReal(std::string_view text);

// The text in quotes for a message, with control bytes escaped and a long text
// shortened.
std::string quote(std::string_view text);

}  // namespace grouptrace::trace_text
