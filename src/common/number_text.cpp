#include "common/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace grouptrace {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Where the first significant digit of a decimal text stands: 1 for the units,
// 0 for the tenths, and so on, its exponent included. Only for text that
// from_chars read whole, so the form is known to be sound.
std::int64_t leadingPlace(std::string_view text) {
  std::size_t i = text.find_first_not_of("+-");
  std::int64_t place = 0;
  bool significant = false;
  for (bool afterPoint = false; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      afterPoint = true;
    } else if (!isDigit(c)) {
      break;
    } else if (!afterPoint) {
      if (significant || c != '0') ++place, significant = true;
    } else if (!significant) {
      if (c != '0') break;
      --place;
    }
  }
  while (i < text.size() && text[i] != 'e' && text[i] != 'E') ++i;
  if (i < text.size()) {
    ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    // Far past any double's range, and far from overflowing.
    constexpr std::int64_t kCap = std::int64_t{1} << 40;
    std::int64_t exponent = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      exponent = std::min(exponent * 10 + (text[i] - '0'), kCap);
    }
    place += negative ? -exponent : exponent;
  }
  return place;
}

}  // namespace

ReadNumber<std::int64_t> readInteger(std::string_view text, IntegerForm form, std::int64_t low,
                                     std::int64_t high) {
  ReadNumber<std::int64_t> result;
  std::size_t i = 0;
  if (form == IntegerForm::leading) {
    while (i < text.size() && isBlank(text[i])) ++i;
  }
  const bool signed_ = form != IntegerForm::digits;
  const bool plus = form == IntegerForm::signedDigits || form == IntegerForm::leading;
  const bool negative = signed_ && i < text.size() && text[i] == '-';
  if (negative || (plus && i < text.size() && text[i] == '+')) ++i;
  const std::size_t first = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  const std::string_view digits = text.substr(first, i - first);
  if (form != IntegerForm::leading) {
    if (digits.empty() || i != text.size()) return result;
    const bool strict = form == IntegerForm::canonical || form == IntegerForm::json;
    if (strict && digits[0] == '0' && digits.size() > 1) return result;
    if (form == IntegerForm::canonical && negative && digits == "0") return result;
  }
  // Accumulated toward the sign's end, where the most negative value fits
  // too; digits past the 64-bit range are past any bound.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  result.status = NumberStatus::outOfRange;
  for (const char c : digits) {
    const int d = c - '0';
    if (negative ? value < (kMin + d) / 10 : value > (kMax - d) / 10) return result;
    value = negative ? value * 10 - d : value * 10 + d;
  }
  if (value < low || value > high) return result;
  result.status = NumberStatus::ok;
  result.value = value;
  return result;
}

std::optional<std::int64_t> parseInteger(std::string_view text, IntegerForm form, std::int64_t low,
                                         std::int64_t high) {
  const ReadNumber<std::int64_t> n = readInteger(text, form, low, high);
  if (!n.ok()) return std::nullopt;
  return n.value;
}

ReadNumber<double> readReal(std::string_view text) {
  ReadNumber<double> result;
  if (text.empty()) return result;
  const char* const end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, result.value);
  if (stop != end || ec == std::errc::invalid_argument) return result;
  if (ec == std::errc::result_out_of_range) {
    result.status = NumberStatus::outOfRange;
    // Too small when its first digit stands right of the units: a double
    // reaches past 1e-308 below one and only to 1.8e308 above.
    const double magnitude =
        leadingPlace(text) <= 0 ? 0.0 : std::numeric_limits<double>::infinity();
    result.value = text[0] == '-' ? -magnitude : magnitude;
    return result;
  }
  result.status = NumberStatus::ok;
  return result;
}

std::optional<double> parseReal(std::string_view text) {
  const ReadNumber<double> n = readReal(text);
  if (n.ok() || (n.status == NumberStatus::outOfRange && std::isinf(n.value))) return n.value;
  return std::nullopt;
}

}  // namespace grouptrace
