#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

// Numbers read from text: every integer and every real the program takes from
// a trace, a parameter, an option or an argument goes through these two
// readers, and the 32-bit range of a run's values is stated here once.
namespace grouptrace {

// The range of every parameter, bound, count and seed of a run.
inline constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
inline constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
// That range as messages name it.
inline constexpr std::string_view kInt32RangeText =
    "the signed 32-bit range (-2147483648 to 2147483647)";

enum class NumberStatus { ok, malformed, outOfRange };

template <class T>
struct ReadNumber {
  NumberStatus status = NumberStatus::malformed;
  T value{};
  bool ok() const { return status == NumberStatus::ok; }
};

// The spellings of an integer, each what some reader has always taken.
enum class IntegerForm {
  // An optional minus and digits, with no leading zero, no plus and no "-0":
  // the writers' own form, so that a trace has one text for each value.
  canonical,
  // JSON's integer: as canonical, with "-0" too.
  json,
  // Digits alone, leading zeros allowed.
  digits,
  // An optional sign and digits.
  signedDigits,
  // The C library's atoi: blanks, an optional sign and the digits that
  // follow, whatever comes after them; no digits at all is 0.
  leading,
};

// The text, whole (the start of it for `leading`), as an integer of `form`
// between `low` and `high`: malformed when it is not of the form, outOfRange
// when it is but lies outside, however many digits it has.
ReadNumber<std::int64_t> readInteger(std::string_view text, IntegerForm form,
                                     std::int64_t low = std::numeric_limits<std::int64_t>::min(),
                                     std::int64_t high = std::numeric_limits<std::int64_t>::max());

// readInteger's value, empty for malformed and outOfRange alike.
std::optional<std::int64_t> parseInteger(
    std::string_view text, IntegerForm form,
    std::int64_t low = std::numeric_limits<std::int64_t>::min(),
    std::int64_t high = std::numeric_limits<std::int64_t>::max());

// A real in any decimal form from_chars reads (what writers of all kinds
// give), the whole of the text, whatever the process locale. Not-a-number
// and infinities are read as they are. outOfRange holds the infinity of the
// text's sign for a value too large for a double, and the zero of its sign
// for one too small to tell from zero.
ReadNumber<double> readReal(std::string_view text);

// readReal's value, a value too large read as the infinity it tends to, so
// that a caller can tell "not finite" from "not a number" (empty); a value too
// small is refused, as no writer gives one.
std::optional<double> parseReal(std::string_view text);

}  // namespace grouptrace
