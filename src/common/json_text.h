#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

// The one reading of JSON from outside: manifests, JSON parameter files and
// JSON Lines rows all come through here, so that each is refused for the same
// faults with the same words.
namespace grouptrace::json {

using Value = nlohmann::json;

// Deeper than any record nests (a manifest nests two levels, a row one); a
// bound keeps every walk over a value, a message's included, short.
inline constexpr int kMostDepth = 32;

// A text that is not one JSON document this system takes.
class ParseError : public std::runtime_error {
 public:
  enum class Kind {
    syntax,     // not JSON at all
    range,      // a number beyond what a double holds
    duplicate,  // a key given twice in one object
    depth,      // nested deeper than kMostDepth
  };
  ParseError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Reads the text as one JSON document, strictly: nothing but blanks around it,
// no key twice in one object (a reader could take either value, and which
// one a later tool takes is anyone's guess), nesting within kMostDepth, and
// every number within a double's range. Throws ParseError, whose what() is a
// message in the system's words.
Value parse(std::string_view text);

// A value as a message shows it: a number, string, boolean or null as JSON,
// cut to 40 bytes and escaped as shownText does; an array or an object by
// what it is, never its content.
std::string shown(const Value& value);

}  // namespace grouptrace::json
