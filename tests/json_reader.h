#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace grouptrace::testing {

// A JSON value as a strict reader sees it, for the kinds the program writes:
// objects, strings, numbers, booleans and null. A number or a boolean keeps
// its text; a string holds its decoded bytes.
struct JsonValue {
  enum class Kind { null, boolean, number, string, object };
  Kind kind = Kind::null;
  std::string text;
  std::vector<std::pair<std::string, JsonValue>> members;

  // The member of that name; throws std::runtime_error when there is none.
  const JsonValue& operator[](std::string_view name) const;
  bool has(std::string_view name) const;
  long long integer() const;
};

// Parses a whole document; throws std::runtime_error at the first character
// JSON does not allow there: a raw control character in a string, a bad
// escape, a duplicate member name, text after the document.
JsonValue parseJson(std::string_view text);

}  // namespace grouptrace::testing
