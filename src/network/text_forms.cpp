// The line-oriented forms: Inet, Orbis and Rocketfuel weights. Each is read as
// whitespace-separated fields; blank lines and lines starting with "#" are
// skipped, so that a file can carry a note on where it came from.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

#include "common/message_text.h"
#include "common/number_text.h"
#include "network_draft.h"

namespace grouptrace::network {
namespace {

constexpr std::int64_t kMaxNode = std::numeric_limits<NODEID>::max();

struct DataLine {
  std::uint64_t number = 0;
  std::string_view text;
  std::vector<std::string_view> fields;
};

// The lines that hold data, with their 1-based numbers in the file.
class DataLines {
 public:
  explicit DataLines(std::string_view text) : rest_(text) {
    if (rest_.substr(0, 3) == "\xEF\xBB\xBF") rest_.remove_prefix(3);
  }

  bool next(DataLine& line) {
    while (!rest_.empty()) {
      const auto end = rest_.find('\n');
      std::string_view text = rest_.substr(0, end);
      rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
      ++number_;
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      line.fields.clear();
      std::size_t at = 0;
      while (at < text.size()) {
        at = text.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) break;
        const auto stop = std::min(text.find_first_of(" \t", at), text.size());
        line.fields.push_back(text.substr(at, stop - at));
        at = stop;
      }
      if (line.fields.empty() || line.fields[0][0] == '#') continue;
      line.number = number_;
      line.text = text;
      return true;
    }
    return false;
  }

  // The line after the last one: where a file that ends too early is to blame.
  std::uint64_t end() const { return number_ + 1; }

 private:
  std::string_view rest_;
  std::uint64_t number_ = 0;
};

bool isInteger(std::string_view text) {
  return parseInteger(text, IntegerForm::canonical).has_value();
}

// A count or a node number: a whole number from 0 up to `limit`; `what`
// names it in the message.
std::int64_t wholeNumber(std::string_view text, std::string_view what, std::int64_t limit,
                         const std::string& path, std::uint64_t line) {
  const auto value = parseInteger(text, IntegerForm::canonical);
  if (!value) {
    throw TopologyError(path, line,
                        std::string(what) + " must be a whole number, not " + quotedText(text));
  }
  if (*value < 0 || *value > limit) {
    throw TopologyError(path, line,
                        std::string(what) + " " + std::string(text) + " is out of range 0 to " +
                            std::to_string(limit));
  }
  return *value;
}

void requireFields(const DataLine& line, std::size_t least, std::size_t most, std::string_view form,
                   const std::string& path) {
  if (line.fields.size() < least || line.fields.size() > most) {
    throw TopologyError(path, line.number,
                        "expected " + std::string(form) + ", found " + quotedText(line.text));
  }
}

// The weight and, when the line has one more field, the capacity.
void linkValues(const DataLine& line, std::size_t first, Topology::Link& link,
                const std::string& path) {
  link.delay = linkValue(line.fields[first], "weight", path, line.number);
  if (line.fields.size() > first + 1) {
    link.capacity = linkValue(line.fields[first + 1], "capacity", path, line.number);
  }
}

}  // namespace

double linkValue(std::string_view text, std::string_view what, const std::string& path,
                 std::uint64_t line) {
  const auto value = parseReal(text);
  const std::string name = "the " + std::string(what) + " " + quotedText(text);
  if (!value) throw TopologyError(path, line, name + " is not a number");
  if (!std::isfinite(*value)) throw TopologyError(path, line, name + " is not finite");
  if (*value < 0) throw TopologyError(path, line, name + " is negative");
  return *value;
}

std::optional<TopologyFormat> detectFormat(std::string_view text) {
  const auto start = text.find_first_not_of(" \t\r\n");
  if (start != std::string_view::npos && text[start] == '<') return TopologyFormat::graphml;
  if (text.substr(0, 3) == "\xEF\xBB\xBF" && text.size() > 3 && text[3] == '<') {
    return TopologyFormat::graphml;
  }
  DataLines lines(text);
  DataLine first;
  if (!lines.next(first)) return std::nullopt;
  const bool numbered =
      first.fields.size() >= 2 && isInteger(first.fields[0]) && isInteger(first.fields[1]);
  if (numbered && first.fields.size() == 2) {
    DataLine second;
    return lines.next(second) && second.fields.size() == 3 ? TopologyFormat::inet
                                                           : TopologyFormat::orbis;
  }
  if (!numbered && (first.fields.size() == 3 || first.fields.size() == 4)) {
    return TopologyFormat::rocketfuel;
  }
  return std::nullopt;
}

NetworkDraft readInet(std::string_view text, const std::string& path) {
  DataLines lines(text);
  DataLine line;
  if (!lines.next(line)) throw TopologyError(path, 1, "the file is empty");
  requireFields(line, 2, 2, "the numbers of nodes and links, \"N L\"", path);
  const std::int64_t nodes = wholeNumber(line.fields[0], "the number of nodes", kMaxNode, path, 1);
  const std::int64_t links = wholeNumber(line.fields[1], "the number of links",
                                         std::numeric_limits<std::int64_t>::max(), path, 1);
  if (nodes == 0) throw TopologyError(path, 1, "the first line announces a network of no nodes");
  // Counts from the first line size nothing before the file shows it holds
  // them: a node line takes at least six bytes, "0 0 0" and its newline.
  if (static_cast<std::uint64_t>(nodes) > text.size() / 6 + 1) {
    throw TopologyError(path, 1,
                        "the file is too short for the " + std::to_string(nodes) +
                            " nodes its first line announces");
  }

  NetworkDraft draft;
  draft.ids.resize(static_cast<std::size_t>(nodes));
  draft.nodeLines.assign(static_cast<std::size_t>(nodes), 0);
  for (std::int64_t i = 0; i < nodes; ++i) {
    if (!lines.next(line)) {
      throw TopologyError(path, lines.end(),
                          "the file ends after " + std::to_string(i) + " of the " +
                              std::to_string(nodes) + " node lines its first line announces");
    }
    requireFields(line, 3, 3, "a node line \"id x y\"", path);
    const auto id = static_cast<std::size_t>(
        wholeNumber(line.fields[0], "the node number", nodes - 1, path, line.number));
    if (draft.nodeLines[id] != 0) {
      throw TopologyError(path, line.number,
                          "node " + std::to_string(id) + " is declared twice, first on line " +
                              std::to_string(draft.nodeLines[id]));
    }
    draft.ids[id] = std::string(line.fields[0]);
    draft.nodeLines[id] = line.number;
  }
  for (std::int64_t i = 0; i < links; ++i) {
    if (!lines.next(line)) {
      throw TopologyError(path, lines.end(),
                          "the file ends after " + std::to_string(i) + " of the " +
                              std::to_string(links) + " link lines its first line announces");
    }
    requireFields(line, 3, 4, "a link line \"a b weight\"", path);
    Topology::Link link;
    link.a = static_cast<NODEID>(
        wholeNumber(line.fields[0], "the node number", nodes - 1, path, line.number));
    link.b = static_cast<NODEID>(
        wholeNumber(line.fields[1], "the node number", nodes - 1, path, line.number));
    linkValues(line, 2, link, path);
    draft.links.push_back(link);
    draft.linkLines.push_back(line.number);
  }
  if (lines.next(line)) {
    throw TopologyError(
        path, line.number,
        "the file goes on after the " + std::to_string(links) + " links its first line announces");
  }
  return draft;
}

NetworkDraft readOrbis(std::string_view text, const std::string& path) {
  struct Named {
    std::int64_t number;
    std::uint64_t line;
  };
  std::vector<Named> ends;
  NetworkDraft draft;
  DataLines lines(text);
  DataLine line;
  while (lines.next(line)) {
    requireFields(line, 2, 2, "a link line \"a b\"", path);
    Topology::Link link;
    for (int end = 0; end < 2; ++end) {
      const std::int64_t number =
          wholeNumber(line.fields[end], "the node number", kMaxNode, path, line.number);
      ends.push_back({number, line.number});
      (end == 0 ? link.a : link.b) = static_cast<NODEID>(number);
    }
    draft.links.push_back(link);
    draft.linkLines.push_back(line.number);
  }
  if (ends.empty()) throw TopologyError(path, 1, "the file is empty");

  // Each number where it first appears, in the order of the numbers.
  std::stable_sort(ends.begin(), ends.end(),
                   [](const Named& x, const Named& y) { return x.number < y.number; });
  ends.erase(std::unique(ends.begin(), ends.end(),
                         [](const Named& x, const Named& y) { return x.number == y.number; }),
             ends.end());
  const std::int64_t base = ends.front().number;
  if (base > 1) {
    throw TopologyError(path, ends.front().line,
                        "nodes are numbered from 0 or from 1, but the lowest number here is " +
                            std::to_string(base));
  }
  for (std::size_t i = 0; i < ends.size(); ++i) {
    const auto expected = base + static_cast<std::int64_t>(i);
    if (ends[i].number != expected) {
      throw TopologyError(path, ends[i].line,
                          "the node numbers leave a gap: node " + std::to_string(ends[i].number) +
                              " is named, but no link names node " + std::to_string(expected));
    }
    draft.ids.push_back(std::to_string(ends[i].number));
    draft.nodeLines.push_back(ends[i].line);
  }
  for (Topology::Link& link : draft.links) {
    link.a -= static_cast<NODEID>(base);
    link.b -= static_cast<NODEID>(base);
  }
  return draft;
}

NetworkDraft readRocketfuel(std::string_view text, const std::string& path) {
  struct Given {
    std::string_view a, b;
    Topology::Link link;
    std::uint64_t line;
  };
  std::vector<Given> given;
  std::unordered_map<std::string_view, std::uint64_t> firstLine;
  DataLines lines(text);
  DataLine line;
  while (lines.next(line)) {
    requireFields(line, 3, 4, "a link line \"a b weight\"", path);
    Given link{line.fields[0], line.fields[1], {}, line.number};
    linkValues(line, 2, link.link, path);
    firstLine.try_emplace(link.a, line.number);
    firstLine.try_emplace(link.b, line.number);
    given.push_back(link);
  }
  if (given.empty()) throw TopologyError(path, 1, "the file is empty");

  // Routers are numbered in the byte order of their names, so that the same
  // links in another order give the same network.
  std::vector<std::string_view> names;
  names.reserve(firstLine.size());
  for (const auto& [name, at] : firstLine) names.push_back(name);
  std::sort(names.begin(), names.end());
  if (names.size() > static_cast<std::size_t>(kMaxNode)) {
    throw TopologyError(path, 0, "more routers than node numbers of 32 bits can name");
  }
  std::unordered_map<std::string_view, NODEID> number;
  NetworkDraft draft;
  for (const std::string_view name : names) {
    number.emplace(name, static_cast<NODEID>(draft.ids.size()));
    draft.ids.emplace_back(name);
    draft.nodeLines.push_back(firstLine[name]);
  }
  for (Given& link : given) {
    link.link.a = number[link.a];
    link.link.b = number[link.b];
    draft.links.push_back(link.link);
    draft.linkLines.push_back(link.line);
  }
  return draft;
}

}  // namespace grouptrace::network
