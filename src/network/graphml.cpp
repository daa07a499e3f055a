// GraphML through libxml2: XML has too many corners (encodings, entities,
// CDATA, comments) to take apart by hand safely.
#include <climits>
#include <string>
#include <unordered_map>

#include "common/message_text.h"
#include "network_draft.h"

#ifdef GROUPTRACE_HAVE_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif

namespace grouptrace {

#ifndef GROUPTRACE_HAVE_LIBXML2

bool readsGraphml() {
  return false;
}

namespace network {
NetworkDraft readGraphml(std::string_view, const std::string& path) {
  throw TopologyError(path, 0, "this build reads no GraphML: it was built without libxml2");
}
}  // namespace network

#else

bool readsGraphml() {
  return true;
}

namespace network {
namespace {

// The values of an edge that the network keeps, by GraphML key.
enum class Role { delay, capacity, linkSpeedRaw };

struct Key {
  Role role;
  std::string fallback;  // the key's <default>, when it has one
  bool hasFallback = false;
};

struct Document {
  xmlParserCtxtPtr context = nullptr;
  xmlDocPtr doc = nullptr;
  ~Document() {
    if (doc) xmlFreeDoc(doc);
    if (context) xmlFreeParserCtxt(context);
  }
};

std::string_view nameOf(const xmlNode* node) {
  return reinterpret_cast<const char*>(node->name);
}

bool isElement(const xmlNode* node, std::string_view name) {
  return node->type == XML_ELEMENT_NODE && nameOf(node) == name;
}

std::uint64_t lineOf(const xmlNode* node) {
  const long line = xmlGetLineNo(node);
  return line > 0 ? static_cast<std::uint64_t>(line) : 0;
}

// An attribute's value, or nothing when the element lacks it.
std::optional<std::string> attribute(const xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (!value) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

// The text an element holds directly. Entity references are not followed,
// so that a file cannot make a short value expand without bound.
std::string textOf(const xmlNode* node) {
  std::string text;
  for (const xmlNode* child = node->children; child; child = child->next) {
    if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) && child->content) {
      text += reinterpret_cast<const char*>(child->content);
    }
  }
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string required(const xmlNode* node, const char* name, const std::string& path) {
  auto value = attribute(node, name);
  if (!value) {
    throw TopologyError(path, lineOf(node),
                        "a <" + std::string(nameOf(node)) + "> without its " + name);
  }
  return *value;
}

void parse(std::string_view text, const std::string& path, Document& document) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    throw TopologyError(path, 0, "the file is larger than the XML parser reads");
  }
  static const bool initialised = (xmlInitParser(), true);
  (void)initialised;
  document.context = xmlNewParserCtxt();
  if (!document.context) throw std::bad_alloc();
  // No network access, no messages of the parser's own on standard error, and
  // true line numbers past 65535.
  constexpr int kOptions =
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_BIG_LINES;
  document.doc = xmlCtxtReadMemory(document.context, text.data(), static_cast<int>(text.size()),
                                   path.c_str(), nullptr, kOptions);
  if (!document.doc || !document.context->wellFormed) {
    const xmlError* error = xmlCtxtGetLastError(document.context);
    std::string reason = error && error->message ? error->message : "not well-formed XML";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    throw TopologyError(path,
                        error && error->line > 0 ? static_cast<std::uint64_t>(error->line) : 0,
                        "not well-formed XML: " + reason);
  }
}

}  // namespace

NetworkDraft readGraphml(std::string_view text, const std::string& path) {
  Document document;
  parse(text, path, document);
  const xmlNode* root = xmlDocGetRootElement(document.doc);
  if (!root || !isElement(root, "graphml")) {
    throw TopologyError(path, root ? lineOf(root) : 1,
                        "not GraphML: the outermost element is not <graphml>");
  }

  // In the order declared, so that a later key for the same value wins.
  std::vector<Key> keys;
  std::unordered_map<std::string, std::size_t> keyIndex;
  const xmlNode* graph = nullptr;
  for (const xmlNode* child = root->children; child; child = child->next) {
    if (isElement(child, "key")) {
      const auto domain = attribute(child, "for");
      if (domain && *domain != "edge" && *domain != "all") continue;
      const auto name = attribute(child, "attr.name");
      Key key;
      if (name == "delay") {
        key.role = Role::delay;
      } else if (name == "capacity") {
        key.role = Role::capacity;
      } else if (name == "LinkSpeedRaw") {
        key.role = Role::linkSpeedRaw;
      } else {
        continue;
      }
      for (const xmlNode* part = child->children; part; part = part->next) {
        if (isElement(part, "default")) {
          key.fallback = textOf(part);
          key.hasFallback = true;
        }
      }
      keyIndex[required(child, "id", path)] = keys.size();
      keys.push_back(std::move(key));
    } else if (!graph && isElement(child, "graph")) {
      graph = child;
    }
  }
  if (!graph) throw TopologyError(path, lineOf(root), "the file holds no <graph>");

  NetworkDraft draft;
  std::unordered_map<std::string, NODEID> number;
  for (const xmlNode* child = graph->children; child; child = child->next) {
    if (!isElement(child, "node")) continue;
    std::string id = required(child, "id", path);
    const auto [at, fresh] = number.try_emplace(id, static_cast<NODEID>(draft.ids.size()));
    if (!fresh) {
      throw TopologyError(
          path, lineOf(child),
          "node " + quotedText(id) + " is declared twice, first on line " +
              std::to_string(draft.nodeLines[static_cast<std::size_t>(at->second)]));
    }
    draft.ids.push_back(std::move(id));
    draft.nodeLines.push_back(lineOf(child));
  }

  for (const xmlNode* edge = graph->children; edge; edge = edge->next) {
    if (!isElement(edge, "edge")) continue;
    const std::uint64_t line = lineOf(edge);
    Topology::Link link;
    NODEID* ends[] = {&link.a, &link.b};
    const char* sides[] = {"source", "target"};
    for (int side = 0; side < 2; ++side) {
      const std::string id = required(edge, sides[side], path);
      const auto found = number.find(id);
      if (found == number.end()) {
        throw TopologyError(path, line,
                            "an edge names node " + quotedText(id) + ", which no <node> declares");
      }
      *ends[side] = found->second;
    }
    // Each kept value from the edge's <data>, or else from its key's default.
    std::vector<std::optional<std::string> > values(keys.size());
    for (const xmlNode* data = edge->children; data; data = data->next) {
      if (!isElement(data, "data")) continue;
      const auto key = keyIndex.find(required(data, "key", path));
      if (key != keyIndex.end()) values[key->second] = textOf(data);
    }
    std::optional<double> capacity, speed;
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const Key& key = keys[k];
      if (!values[k] && !key.hasFallback) continue;
      const std::string& value = values[k] ? *values[k] : key.fallback;
      switch (key.role) {
        case Role::delay:
          link.delay = linkValue(value, "delay", path, line);
          break;
        case Role::capacity:
          capacity = linkValue(value, "capacity", path, line);
          break;
        case Role::linkSpeedRaw:
          speed = linkValue(value, "LinkSpeedRaw", path, line) / 1000;
          break;
      }
    }
    link.capacity = capacity ? *capacity : speed.value_or(0);
    draft.links.push_back(link);
    draft.linkLines.push_back(line);
  }
  return draft;
}

}  // namespace network
#endif

}  // namespace grouptrace
