#include "formats/jsonl/json_lines_row.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>

#include "common/json_text.h"
#include "common/message_text.h"
#include "common/number_text.h"
#include "dynamic/dynamic_options.h"
#include "grouptrace/trace_error.h"

// A well-kept parser, as for manifests: the rows are small, and a JSON line
// may be written with other spacing or key order by tools that rewrite it.

namespace grouptrace {
namespace {

using Json = json::Value;

class RowParse {
 public:
  RowParse(const Json& object, std::string_view kind, std::uint64_t line)
      : object_(object), kind_(kind), line_(line) {}

  [[noreturn]] void fail(const std::string& reason) const { throw TraceError(line_, reason); }
  // The key in quotes, built up in place: GCC 12 warns wrongly about a
  // literal added to a string here.
  static std::string keyName(const char* key) {
    std::string name(1, '"');
    name += key;
    name += '"';
    return name;
  }

  // Every key is one the object's kind has.
  void keysAmong(std::initializer_list<std::string_view> keys) const {
    for (const auto& item : object_.items()) {
      bool known = false;
      for (const std::string_view key : keys) known = known || item.key() == key;
      if (!known) {
        fail("a " + std::string(kind_) + " object has no key " + quotedText(item.key()));
      }
    }
  }
  bool has(const char* key) const { return object_.contains(key); }
  const Json& need(const char* key) const {
    const auto it = object_.find(key);
    if (it == object_.end()) {
      fail("a " + std::string(kind_) + " object needs the key " + keyName(key));
    }
    return *it;
  }
  std::string text(const char* key) const {
    const Json& value = need(key);
    if (!value.is_string()) fail(keyName(key) + " is not a string: " + json::shown(value));
    return value.get<std::string>();
  }
  std::int64_t integer(const char* key, std::int64_t low, std::int64_t high) const {
    const Json& value = need(key);
    if (!value.is_number_integer() ||
        (value.is_number_unsigned() &&
         value.get<std::uint64_t>() > std::uint64_t{std::numeric_limits<std::int64_t>::max()})) {
      fail(keyName(key) + " is not a whole number: " + json::shown(value));
    }
    const auto v = value.get<std::int64_t>();
    if (v < low || v > high) {
      fail(keyName(key) + " " + std::to_string(v) + " lies outside " + std::to_string(low) +
           " to " + std::to_string(high));
    }
    return v;
  }
  double real(const char* key) const {
    const Json& value = need(key);
    if (!value.is_number() || !std::isfinite(value.get<double>())) {
      fail(keyName(key) + " is not a finite number: " + json::shown(value));
    }
    return value.get<double>();
  }

 private:
  const Json& object_;
  std::string_view kind_;
  std::uint64_t line_;
};

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// Scans a request line in the exact shape the writer gives it, nearly every
// line of a trace, several times faster than a general parse. Anything else,
// faults included, is left to the parser, which also words the refusal.
class RequestScan {
 public:
  explicit RequestScan(std::string_view text) : p_(text.data()), end_(p_ + text.size()) {}

  bool read(TraceRow& row) {
    if (text("{\"time\":")) {
      double t;
      if (!real(t) || !text(",\"phase\":\"")) return false;
      row.time = t;
    } else if (!text("{\"phase\":\"")) {
      return false;
    }
    if (text("join-leave\"")) {
      row.phase = TracePhase::joinLeave;
    } else if (text("beef-up\"")) {
      row.phase = TracePhase::beefUp;
    } else if (text("end-of-session\"")) {
      row.phase = TracePhase::endOfSession;
    } else {
      return false;
    }
    const bool join = text(",\"kind\":\"join\",\"node\":");
    if (!join && !text(",\"kind\":\"leave\",\"node\":")) return false;
    if (!integer(row.node) || !text(",\"session\":") || !integer(row.session)) return false;
    row.kind = join ? TraceRow::Kind::join : TraceRow::Kind::leave;
    if (join) {
      if (!text(",\"band\":") || !real(row.band) || !text(",\"delay\":") || !real(row.delay) ||
          !text(",\"hops\":") || !integer(row.hops) || row.hops < kInt32Min ||
          row.hops > kInt32Max) {
        return false;
      }
    }
    return text("}") && p_ == end_;
  }

 private:
  bool text(std::string_view t) {
    if (static_cast<std::size_t>(end_ - p_) < t.size() || std::string_view(p_, t.size()) != t) {
      return false;
    }
    p_ += t.size();
    return true;
  }
  bool digit(const char* q) const { return q != end_ && *q >= '0' && *q <= '9'; }
  // The end of JSON's integer part at q (-?(0|[1-9][0-9]*)), or null.
  const char* integerPart(const char* q) const {
    if (q != end_ && *q == '-') ++q;
    if (!digit(q)) return nullptr;
    if (*q++ == '0') return q;
    while (digit(q)) ++q;
    return q;
  }
  bool integer(std::int64_t& value) {
    const char* stop = integerPart(p_);
    if (stop == nullptr) return false;
    const auto n =
        parseInteger(std::string_view(p_, static_cast<std::size_t>(stop - p_)), IntegerForm::json);
    if (!n) return false;
    value = *n;
    p_ = stop;
    return true;
  }
  bool real(double& value) {
    const char* q = integerPart(p_);
    if (q == nullptr) return false;
    if (q != end_ && *q == '.') {
      if (!digit(++q)) return false;
      while (digit(q)) ++q;
    }
    if (q != end_ && (*q == 'e' || *q == 'E')) {
      ++q;
      if (q != end_ && (*q == '+' || *q == '-')) ++q;
      if (!digit(q)) return false;
      while (digit(q)) ++q;
    }
    const ReadNumber<double> n = readReal(std::string_view(p_, static_cast<std::size_t>(q - p_)));
    if (!n.ok() || !std::isfinite(n.value)) return false;
    value = n.value;
    p_ = q;
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

TraceRow parseJsonLinesRow(std::string_view text, std::uint64_t line) {
  {
    TraceRow row;
    if (RequestScan(text).read(row)) return row;
  }
  Json object;
  try {
    object = json::parse(text);
  } catch (const json::ParseError& e) {
    // A line that is JSON but breaks a rule is told by the rule it breaks.
    if (e.kind() != json::ParseError::Kind::syntax) throw TraceError(line, e.what());
  }
  if (!object.is_object()) {
    throw TraceError(line, "expected a JSON object on the line, found " + quotedText(text));
  }
  const auto kindIt = object.find("kind");
  if (kindIt == object.end() || !kindIt->is_string()) {
    throw TraceError(line, "the object has no \"kind\" naming what it is: " + quotedText(text));
  }
  const std::string kind = kindIt->get<std::string>();
  const RowParse p(object, kind, line);
  TraceRow row;
  if (kind == "header") {
    p.keysAmong({"kind", "model", "duration", "avgSize", "orderedJoinLeave"});
    row.kind = TraceRow::Kind::header;
    row.header.avgSize = static_cast<std::int32_t>(p.integer("avgSize", kInt32Min, kInt32Max));
    row.header.orderedJoinLeave =
        static_cast<std::int32_t>(p.integer("orderedJoinLeave", kInt32Min, kInt32Max));
    if (p.has("model")) {
      const std::string model = p.text("model");
      const auto version = dynamic::parseModelVersion(model);
      if (!version) {
        p.fail("the header names the model " + quotedText(model) +
               ", which this reader does not know (it reads dynamic-1 and " +
               std::string(dynamic::kModelVersion) +
               "): a later version of grouptrace wrote the trace");
      }
      row.header.modelVersion = static_cast<std::int32_t>(*version);
      row.timed = true;
      const double duration = p.real("duration");
      if (duration < 0) p.fail("the duration " + json::shown(p.need("duration")) + " is negative");
      row.header.duration = duration;
    } else if (p.has("duration")) {
      p.fail("a duration in a header that names no timed model (\"model\")");
    }
    return row;
  }
  if (kind == "summary") {
    p.keysAmong({"kind", "trans", "joins", "leaves", "blocked"});
    row.kind = TraceRow::Kind::summary;
    row.summary.trans = p.integer("trans", kInt64Min, kInt64Max);
    row.summary.joins = p.integer("joins", 0, kInt64Max);
    row.summary.leaves = p.integer("leaves", 0, kInt64Max);
    row.hasBlocked = p.has("blocked");
    if (row.hasBlocked) row.summary.blocked = p.integer("blocked", 0, kInt64Max);
    return row;
  }
  const bool source = kind == "source";
  const bool join = kind == "join";
  if (!source && !join && kind != "leave") {
    p.fail("the kind " + quotedText(kind) + " is none of header, source, join, leave and summary");
  }
  if (join) {
    p.keysAmong({"time", "phase", "kind", "node", "session", "band", "delay", "hops"});
  } else {
    p.keysAmong({"time", "phase", "kind", "node", "session"});
  }
  if (p.has("time")) row.time = p.real("time");
  const std::string phase = p.text("phase");
  row.node = p.integer("node", kInt64Min, kInt64Max);
  row.session = p.integer("session", kInt64Min, kInt64Max);
  if (source) {
    if (phase != "sessions")
      p.fail("a source object's phase is \"sessions\", found " + quotedText(phase));
    if (row.time && *row.time != 0) p.fail("a source at a time other than 0");
    row.time.reset();
    row.kind = TraceRow::Kind::source;
    return row;
  }
  bool named = false;
  for (int i = 0; i < 3; ++i) {
    if (phaseName(static_cast<TracePhase>(i)) == phase) {
      row.phase = static_cast<TracePhase>(i);
      named = true;
    }
  }
  if (!named) {
    p.fail("the phase " + quotedText(phase) + " of a " + kind +
           " is none of beef-up, join-leave and end-of-session");
  }
  if (join) {
    row.kind = TraceRow::Kind::join;
    row.band = p.real("band");
    row.delay = p.real("delay");
    row.hops = p.integer("hops", kInt32Min, kInt32Max);
  } else {
    row.kind = TraceRow::Kind::leave;
  }
  return row;
}

}  // namespace grouptrace
