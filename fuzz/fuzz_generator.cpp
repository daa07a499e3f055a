// Fuzz target: the parameter reader, the seed argument and the whole run.
//
// An input is a parameter stream; whatever follows the line of its 13th value, up to a NUL byte,
// is the seed argument. A stored parameter file is therefore an input as it is (seed 0), and one
// followed by a newline and its seed argument runs with that seed.
//
// Besides the sanitizers, every input is checked against independent descriptions of what the
// program must do: the reader against the C++ library's own extraction of a double, the seed
// against strtoll, and the trace against the rules of its format and of the run phases.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "formats/trace/trace_writer.h"
#include "formats/trace_output.h"
#include "fuzz_check.h"
#include "generator/build_config.h"
#include "generator/creation.h"
#include "generator/flag_membership.h"
#include "generator/membership.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/byte_source.h"
#include "grouptrace/parameters.h"
#include "parameters/my_io.h"
#include "parameters/parameter_stream.h"
#include "seed_argument.h"

namespace {

using namespace grouptrace;

// Scenarios are skipped, not run, when their work would make one execution slow or large, so
// that the fuzzer spends its time on many inputs. Every bound below follows from the parameters
// alone; none of them depends on the draws.

// The trace a run may write, in bytes, as estimated below: some 40,000 requests. That is enough
// for a session of 20,000 members, whose member tree is three levels deep, and for a trace that
// fills several output blocks; a smaller bound left both out of the fuzzer's reach. The slowest
// such run takes about a second with the sanitizers, which bounds every execution.
constexpr double kMaxTraceBytes = 1 << 22;

// With one flag per node, every session holds memory for the whole network and every request
// scans it, so the work follows nNodes; the ordered set's work follows the groups instead, and
// then any network size, 2^31-1 nodes included, must run within the trace bound alone.
constexpr bool kWorkFollowsNetwork = std::is_same_v<Membership, FlagMembership>;
// Node flags allocated plus node flags scanned, when the work follows the network.
constexpr double kMaxNodeVisits = 1 << 22;

// The bytes handed out one at a time, so that taken() is where the reader stopped.
class Trickle final : public ByteSource {
 public:
  explicit Trickle(std::string_view bytes) : bytes_(bytes) {}
  std::size_t read(char* buffer, std::size_t size) override {
    if (size == 0 || taken_ == bytes_.size()) return 0;
    buffer[0] = bytes_[taken_++];
    return 1;
  }
  std::size_t taken() const { return taken_; }

 private:
  std::string_view bytes_;
  std::size_t taken_ = 0;
};

bool sameDouble(double a, double b) {
  return a == b && std::signbit(a) == std::signbit(b);
}

const char* statusName(myIO::Status status) {
  switch (status) {
    case myIO::Status::ok:
      return "ok";
    case myIO::Status::endOfInput:
      return "end of input";
    case myIO::Status::notANumber:
      return "not a number";
    case myIO::Status::outOfRange:
      return "out of range";
    case myIO::Status::readError:
      return "read error";
  }
  return "?";
}

// ---------------------------------------------------------------------------------------------
// The reader.

struct ReferenceValue {
  myIO::Status status;
  double number;
  // Text other than a blank or a comment mark ("#", "//") touches the number: the program
  // refuses the value, which the legacy reading of the stream would take for a comment.
  bool glued = false;
};

// What a C++ stream in the classic locale makes of the values: skip whitespace, extract a double,
// discard the rest of the line. Stops after the first value it cannot extract. `consumed` gets
// the bytes read once all 13 values were extracted. A UTF-8 byte-order mark at the very start is
// skipped, as the reader skips it.
std::vector<ReferenceValue> referenceValues(const std::string& bytes, std::size_t& consumed) {
  const std::size_t mark = bytes.rfind("\xef\xbb\xbf", 0) == 0 ? 3 : 0;
  std::istringstream in(bytes.substr(mark));
  in.imbue(std::locale::classic());
  std::vector<ReferenceValue> values;
  while (values.size() < kParameterNames.size()) {
    in >> std::ws;
    if (in.peek() == std::char_traits<char>::eof()) {
      values.push_back({myIO::Status::endOfInput, 0});
      return values;
    }
    double number = 0;
    in >> number;
    if (in.fail()) {
      // The library gives the largest finite value for a number too large for a double.
      const bool overflow = std::fabs(number) == std::numeric_limits<double>::max();
      values.push_back({overflow ? myIO::Status::outOfRange : myIO::Status::notANumber, number});
      return values;
    }
    const auto next = in.peek();
    bool glued = false;
    if (next != std::char_traits<char>::eof() &&
        !std::isspace(static_cast<char>(next), std::locale::classic()) && next != '#') {
      in.get();
      glued = next != '/' || in.peek() != '/';
    }
    values.push_back({myIO::Status::ok, number, glued});
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  consumed = in.eof() ? bytes.size() : mark + static_cast<std::size_t>(in.tellg());
  return values;
}

bool fitsAfterTruncation(double number) {
  return number > -2147483649.0 && number < 2147483648.0;
}

// Checks myIO value by value against the reference, then readParameters against what those
// values imply. Returns the parameters of a stream that describes a scenario, and in `consumed`
// the bytes the reader took.
std::optional<Parameters> readAndCheck(std::string& bytes, std::size_t& consumed) {
  std::size_t referenceConsumed = 0;
  const std::vector<ReferenceValue> reference = referenceValues(bytes, referenceConsumed);

  {
    Trickle file(bytes);
    myIO io(file);
    for (std::size_t i = 0; i < reference.size(); ++i) {
      const myIO::Value got = io.readNL();
      CHECK(got.status == reference[i].status, "value %zu: reader says %s, stream extraction %s",
            i + 1, statusName(got.status), statusName(reference[i].status));
      if (got.status == myIO::Status::ok) {
        CHECK(sameDouble(got.number, reference[i].number), "value %zu: reader %.17g, stream %.17g",
              i + 1, got.number, reference[i].number);
      }
    }
  }

  // The line a bad stream must be reported on: the first value that is missing, no number,
  // outside 32 bits or (unless read the legacy way) glued to other text, then too few nodes,
  // then too few sessions.
  const auto truncated = [&](std::size_t i) {
    return static_cast<std::int32_t>(reference[i].number);
  };
  const auto badLineOf = [&](NumberEnd numberEnd) {
    for (std::size_t i = 0; i < reference.size(); ++i) {
      if (reference[i].status != myIO::Status::ok || !fitsAfterTruncation(reference[i].number) ||
          (reference[i].glued && numberEnd != NumberEnd::legacy)) {
        return static_cast<int>(i) + 1;
      }
    }
    if (truncated(0) < 1) return 1;
    if (truncated(1) < 1) return 2;
    return 0;
  };

  // Both readings, each against its own verdict; the run goes on with the program's default.
  std::optional<Parameters> accepted;
  for (const NumberEnd numberEnd : {NumberEnd::legacy, NumberEnd::separated}) {
    const int badLine = badLineOf(numberEnd);
    const char* const reading = numberEnd == NumberEnd::legacy ? "legacy" : "default";
    Trickle file(bytes);
    myIO io(file);
    Parameters p;
    try {
      p = readParameters(io, numberEnd);
    } catch (const ParameterError& e) {
      CHECK(e.line() == badLine, "%s reading: rejected on line %d, expected %d: %s", reading,
            e.line(), badLine, e.what());
      const std::string message = e.what();
      const std::string name(kParameterNames[static_cast<std::size_t>(badLine - 1)]);
      CHECK(
          message.find("value " + std::to_string(badLine) + " (" + name + ")") != std::string::npos,
          "the message does not name value %d (%s): %s", badLine, name.c_str(), e.what());
      CHECK(message.find('\n') == std::string::npos, "the message is not one line: %s", e.what());
      accepted.reset();
      continue;
    }
    CHECK(badLine == 0, "%s reading: accepted a stream that is bad on line %d", reading, badLine);

    const std::int32_t fields[] = {
        p.nNodes,  p.nSessions, p.maxTrans, p.currTrans, p.avgSize, p.nQoSLevels,      p.maxBand,
        p.minBand, p.minDelay,  p.maxDelay, p.minHops,   p.maxHops, p.orderedJoinLeave};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
      CHECK(fields[i] == truncated(i), "value %zu stored as %" PRId32 ", read %.17g", i + 1,
            fields[i], reference[i].number);
    }
    CHECK(file.taken() == referenceConsumed, "the reader took %zu bytes, the 13 lines hold %zu",
          file.taken(), referenceConsumed);
    accepted = p;
  }
  if (accepted) consumed = referenceConsumed;
  return accepted;
}

// The seed argument, checked against strtoll; nothing when it is rejected.
std::optional<SEED_type> seedAndCheck(const char* text) {
  const std::optional<SEED_type> seed = parseSeedArgument(text);
  errno = 0;
  const long long reference = std::strtoll(text, nullptr, 10);
  const bool fits = errno != ERANGE && reference >= std::numeric_limits<SEED_type>::min() &&
                    reference <= std::numeric_limits<SEED_type>::max();
  CHECK(seed.has_value() == fits, "seed \"%s\": %s, strtoll gives %lld%s", text,
        seed ? "accepted" : "rejected", reference, errno == ERANGE ? " (out of range)" : "");
  if (seed) CHECK(*seed == reference, "seed \"%s\" read as %d, not %lld", text, *seed, reference);
  return seed;
}

// ---------------------------------------------------------------------------------------------
// The run.

// What a run performs, from its parameters alone.
struct Plan {
  bool stalls;
  double beefUpJoins;        // exact
  double joinLeaveRequests;  // exact
  double endAttempts;        // at most
};

Plan plan(const Parameters& p) {
  Plan plan{};
  // A network of one node can never perform a request, and then the join-leave phase stops.
  plan.stalls = p.nNodes == 1 && p.currTrans < p.maxTrans;
  // The beef-up passes grow every session alike until it reaches avgSize or the network.
  const double groupSize = std::min<double>(std::max(p.avgSize, 1), p.nNodes);
  plan.beefUpJoins = (groupSize - 1) * p.nSessions;
  // The join-leave phase performs requests until the counter reaches maxTrans.
  const double counter = static_cast<double>(p.currTrans) + plan.beefUpJoins;
  plan.joinLeaveRequests = plan.stalls ? 0 : std::max(0.0, p.maxTrans - counter);
  // The end-of-session phase makes one attempt per join not undone, at most one per join.
  plan.endAttempts = plan.beefUpJoins + plan.joinLeaveRequests;
  return plan;
}

bool worthRunning(const Parameters& p, const Plan& plan) {
  // The header's session table and group blocks, then up to 100 bytes per request record.
  const double requests = plan.beefUpJoins + plan.joinLeaveRequests + plan.endAttempts;
  const double traceBytes = 256 + 64.0 * p.nSessions + 100.0 * requests;
  if (traceBytes > kMaxTraceBytes) return false;
  if constexpr (kWorkFollowsNetwork) {
    // Every join-leave attempt performs a request at least half the time on average (a session
    // that cannot accept a join can give up a member), so four attempts per request is generous.
    const double scans = plan.beefUpJoins + 4 * plan.joinLeaveRequests + plan.endAttempts;
    if (static_cast<double>(p.nNodes) * (p.nSessions + scans) > kMaxNodeVisits) return false;
  }
  return true;
}

// Templated so that only the build's own output is compiled in.
template <class Output>
RunStatus runInto(Output& output, const Parameters& p, SEED_type seed) {
  BasicTraceWriter<Output> writer(output);
  Creation creation(p);
  const RunStatus status = creation.run(seed, writer).status;
  writer.flush();
  return status;
}

void checkTrace(const Parameters& p, const Plan& plan, RunStatus status, std::string_view trace);

// Keeps what follows the first `skip` bytes written to it.
class TailSink final : public ByteSink {
 public:
  explicit TailSink(std::size_t skip) : skip_(skip) {}
  void write(const char* data, std::size_t size) override {
    const std::size_t skipped = std::min(size, skip_);
    skip_ -= skipped;
    text_.append(data + skipped, size - skipped);
  }
  const std::string& text() const { return text_; }

 private:
  std::size_t skip_;
  std::string text_;
};

// Traces stay far below one output block, so the block boundary is brought to them: text
// written ahead of the trace leaves only `room` bytes of the first block, and the boundary falls
// inside the trace at a place that changes from input to input (in a number, a record, a marker).
// A byte lost or repeated there shifts the whole trace, which its checks see.
void runAndCheck(const Parameters& p, const Plan& plan, SEED_type seed, std::size_t room) {
  if constexpr (kBaselineBuild) {
    std::ostringstream os;
    StreamOutput output(os);
    const RunStatus status = runInto(output, p, seed);
    checkTrace(p, plan, status, os.str());
  } else {
    static const std::string filler(BlockOutput::kBlockSize, '#');
    const std::string_view lead = std::string_view(filler).substr(room);
    TailSink sink(lead.size());
    BlockOutput output(sink);
    output.line(lead.size()).text(lead);
    const RunStatus status = runInto(output, p, seed);
    checkTrace(p, plan, status, sink.text());
  }
}

// 1 to 4096, from the input's bytes.
std::size_t roomFor(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3u;
  return 1 + static_cast<std::size_t>(hash % 4096);
}

// ---------------------------------------------------------------------------------------------
// The trace.

// An integer as the trace writes it: plain decimal, no sign but a minus, no leading zero.
std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 18) return std::nullopt;
  if (digits.size() > 1 && digits.front() == '0') return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  if (text.front() == '-' && digits == "0") return std::nullopt;
  return std::strtoll(std::string(text).c_str(), nullptr, 10);
}

// The integers a rounded uniform draw between two bounds can give: the bounds included, and one
// above the upper bound when that is negative (value + 0.5 is truncated toward zero).
struct DrawRange {
  std::int64_t low, high;
};
DrawRange drawRange(std::int64_t a, std::int64_t b) {
  const std::int64_t low = std::min(a, b), high = std::max(a, b);
  return {low, high < 0 ? high + 1 : high};
}

class TraceChecker {
 public:
  TraceChecker(const Parameters& p, std::string_view trace) : p_(p), rest_(trace) {}

  void check(RunStatus status, const Plan& plan) {
    CHECK((status == RunStatus::stalled) == plan.stalls, "run status %s for nNodes %d",
          status == RunStatus::stalled ? "stalled" : "complete", p_.nNodes);

    expectLine("// Print Group requests GRP: ");
    expectLine("//  node: session: type of request: band:  del:  hops");
    expectLine("// Average Group Size: " + std::to_string(p_.avgSize));
    expectLine("// Is Join-Leave ordered? (1=YES ): " + std::to_string(p_.orderedJoinLeave));
    expectLine(" SESSIONS { ");
    for (std::int32_t s = 0; s < p_.nSessions; ++s) {
      const std::string entry = "S : " + std::to_string(s) + " : ";
      const std::string_view line = nextLine();
      CHECK(line.substr(0, entry.size()) == entry, "line %d: \"%.*s\" is not session %d's entry",
            lineNumber_, static_cast<int>(line.size()), line.data(), s);
      const auto source = parseInteger(line.substr(entry.size()));
      CHECK(source && *source >= 0 && *source < p_.nNodes, "line %d: bad source", lineNumber_);
      members_.insert(key(s, static_cast<NODEID>(*source)));
      sources_.push_back(static_cast<NODEID>(*source));
    }
    expectLine("} ");
    for (std::int32_t s = 0; s < p_.nSessions; ++s) {
      expectLine("GRP_REQ {");
      expectLine("I : " + std::to_string(s));
      expectLine("}");
    }

    expectLine("// Start: Beef up session ");
    std::int64_t beefUpJoins = 0;
    while (atRecord()) {
      const Record r = record();
      CHECK(r.type == 1, "line %d: a leave in the beef-up phase", lineNumber_);
      // Each pass joins every session once, in index order, until the sessions are full.
      CHECK(r.session == beefUpJoins % p_.nSessions, "line %d: beef-up join on session %d",
            lineNumber_, r.session);
      ++beefUpJoins;
    }
    CHECK(beefUpJoins == static_cast<std::int64_t>(plan.beefUpJoins),
          "%" PRId64 " beef-up joins, expected %.0f", beefUpJoins, plan.beefUpJoins);

    expectLine("// JOIN-LEAVE  Join-Delete Randomly ");
    std::int64_t joinLeave = 0;
    while (atRecord()) {
      record();
      ++joinLeave;
    }
    CHECK(joinLeave == static_cast<std::int64_t>(plan.joinLeaveRequests),
          "%" PRId64 " join-leave requests, expected %.0f", joinLeave, plan.joinLeaveRequests);

    expectLine(" // LEAVE end of session ");
    const std::int64_t excess = joins_ - leaves_;
    std::int64_t endLeaves = 0;
    while (atRecord()) {
      const Record r = record();
      CHECK(r.type == 2, "line %d: a join in the end-of-session phase", lineNumber_);
      ++endLeaves;
    }
    CHECK(endLeaves <= std::max<std::int64_t>(excess, 0),
          "%" PRId64 " end-of-session leaves for an excess of %" PRId64, endLeaves, excess);

    const std::int64_t trans = std::int64_t{p_.currTrans} + joins_ + leaves_;
    expectLine(" // Trans: " + std::to_string(trans) + " J: " + std::to_string(joins_) +
               " R: " + std::to_string(leaves_));
    CHECK(rest_.empty(), "text after the summary line");
  }

 private:
  struct Record {
    std::int32_t session;
    int type;
  };

  static std::uint64_t key(std::int32_t session, NODEID node) {
    return (std::uint64_t{static_cast<std::uint32_t>(session)} << 32) |
           static_cast<std::uint32_t>(node);
  }

  std::string_view nextLine() {
    const std::size_t end = rest_.find('\n');
    CHECK(end != std::string_view::npos, "line %d does not end with a newline", lineNumber_ + 1);
    const std::string_view line = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    ++lineNumber_;
    return line;
  }

  void expectLine(std::string_view expected) {
    const std::string_view line = nextLine();
    CHECK(line == expected, "line %d: \"%.*s\", expected \"%.*s\"", lineNumber_,
          static_cast<int>(line.size()), line.data(), static_cast<int>(expected.size()),
          expected.data());
  }

  bool atRecord() const { return rest_.substr(0, 10) == "GRP_REQ {\n"; }

  // A band or delay: a whole number in the range of its draw, written as printf's %g writes it.
  void checkReal(std::string_view text, std::int32_t low, std::int32_t high, const char* what) {
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    CHECK(!copy.empty() && *end == '\0', "line %d: %s \"%s\" is no number", lineNumber_, what,
          copy.c_str());
    char formatted[64];
    std::snprintf(formatted, sizeof formatted, "%g", value);
    CHECK(copy == formatted, "line %d: %s written \"%s\", printf writes \"%s\"", lineNumber_, what,
          copy.c_str(), formatted);
    // Six significant digits: a written value may lie within half a unit of its sixth digit.
    const DrawRange range = drawRange(low, high);
    const double slack = std::fabs(value) * 5e-6;
    CHECK(value >= static_cast<double>(range.low) - slack &&
              value <= static_cast<double>(range.high) + slack,
          "line %d: %s %s outside its bounds %d and %d", lineNumber_, what, copy.c_str(), low,
          high);
    if (std::fabs(value) < 1e6) {
      CHECK(parseInteger(copy).has_value(), "line %d: %s %s is not a whole number", lineNumber_,
            what, copy.c_str());
    }
  }

  Record record() {
    expectLine("GRP_REQ {");
    expectLine("I : 0 ");
    const std::string_view line = nextLine();
    std::vector<std::string_view> fields;
    CHECK(line.substr(0, 4) == "U : ", "line %d: not a request line", lineNumber_);
    for (std::string_view rest = line.substr(4);;) {
      const std::size_t separator = rest.find(" : ");
      fields.push_back(rest.substr(0, separator));
      if (separator == std::string_view::npos) break;
      rest.remove_prefix(separator + 3);
    }
    CHECK(fields.size() == 6, "line %d: %zu fields", lineNumber_, fields.size());
    const auto node = parseInteger(fields[0]);
    const auto session = parseInteger(fields[1]);
    const auto type = parseInteger(fields[2]);
    CHECK(node && *node >= 0 && *node < p_.nNodes, "line %d: bad node", lineNumber_);
    CHECK(session && *session >= 0 && *session < p_.nSessions, "line %d: bad session", lineNumber_);
    CHECK(type && (*type == 1 || *type == 2), "line %d: bad request type", lineNumber_);
    const auto s = static_cast<std::int32_t>(*session);
    const auto n = static_cast<NODEID>(*node);
    if (*type == 1) {
      CHECK(members_.insert(key(s, n)).second, "line %d: node %d joins session %d again",
            lineNumber_, n, s);
      checkReal(fields[3], p_.minBand, p_.maxBand, "band");
      checkReal(fields[4], p_.minDelay, p_.maxDelay, "delay");
      const auto hops = parseInteger(fields[5]);
      const DrawRange range = drawRange(p_.minHops, p_.maxHops);
      CHECK(hops && *hops >= range.low && *hops <= range.high, "line %d: hops outside bounds",
            lineNumber_);
      ++joins_;
    } else {
      CHECK(fields[3] == "0" && fields[4] == "0" && fields[5] == "0",
            "line %d: a leave with requirements", lineNumber_);
      CHECK(n != sources_[static_cast<std::size_t>(s)], "line %d: the source leaves session %d",
            lineNumber_, s);
      CHECK(members_.erase(key(s, n)) == 1, "line %d: node %d leaves session %d, not a member",
            lineNumber_, n, s);
      ++leaves_;
    }
    expectLine("}");
    return {s, static_cast<int>(*type)};
  }

  const Parameters& p_;
  std::string_view rest_;
  int lineNumber_ = 0;
  std::vector<NODEID> sources_;
  std::unordered_set<std::uint64_t> members_;
  std::int64_t joins_ = 0;
  std::int64_t leaves_ = 0;
};

void checkTrace(const Parameters& p, const Plan& plan, RunStatus status, std::string_view trace) {
  TraceChecker(p, trace).check(status, plan);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t consumed = 0;
  const std::optional<Parameters> parameters = readAndCheck(bytes, consumed);
  if (!parameters) return 0;

  // The argument ends at a NUL byte, as a command-line argument would.
  const std::string argument = bytes.substr(consumed);
  const std::optional<SEED_type> seed = seedAndCheck(argument.c_str());
  if (!seed) return 0;

  const Plan expected = plan(*parameters);
  if (!worthRunning(*parameters, expected)) return 0;
  runAndCheck(*parameters, expected, *seed, roomFor(data, size));
  return 0;
}
