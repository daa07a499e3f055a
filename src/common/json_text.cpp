#include "common/json_text.h"

#include <set>
#include <vector>

#include "common/message_text.h"

namespace grouptrace::json {
namespace {

// The parser's own message without its "[json.exception...] " tag.
std::string withoutTag(const char* what) {
  const std::string_view text = what;
  const std::size_t tag = text.starts_with("[json.exception") ? text.find("] ") : text.npos;
  return std::string(tag == text.npos ? text : text.substr(tag + 2));
}

}  // namespace

Value parse(std::string_view text) {
  using Event = Value::parse_event_t;
  // The keys met so far in each object or array still open (none in an array).
  std::vector<std::set<std::string>> open;
  const Value::parser_callback_t check = [&open](int depth, Event event, Value& parsed) {
    switch (event) {
      case Event::object_start:
      case Event::array_start:
        if (depth >= kMostDepth) {
          throw ParseError(ParseError::Kind::depth,
                           "arrays and objects nested over " + std::to_string(kMostDepth) +
                               " deep, deeper than any record of grouptrace");
        }
        open.emplace_back();
        break;
      case Event::object_end:
      case Event::array_end:
        open.pop_back();
        break;
      case Event::key:
        if (!open.back().insert(parsed.get<std::string>()).second) {
          throw ParseError(ParseError::Kind::duplicate,
                           "the key " + quotedText(parsed.get<std::string>(), 40) +
                               " is given twice in one object");
        }
        break;
      case Event::value:
        break;
    }
    return true;
  };
  try {
    return Value::parse(text.begin(), text.end(), check);
  } catch (const Value::out_of_range& e) {
    // The only one the parser throws is 406, a number past a double's range,
    // which it names in quotes.
    const std::string what = e.what();
    const std::size_t open = what.find('\''), close = what.rfind('\'');
    const std::string number =
        open != what.npos && close > open ? what.substr(open + 1, close - open - 1) : what;
    throw ParseError(ParseError::Kind::range,
                     "the number " + shownText(number, 40) + " is too large to hold");
  } catch (const Value::exception& e) {
    // A token of any length may follow "last read:": the message stays a line.
    throw ParseError(ParseError::Kind::syntax,
                     "not valid JSON: " + shownText(withoutTag(e.what()), 200));
  }
}

std::string shown(const Value& value) {
  if (value.is_object()) return "an object";
  if (value.is_array()) return "an array";
  return shownText(value.dump(), 40);
}

}  // namespace grouptrace::json
