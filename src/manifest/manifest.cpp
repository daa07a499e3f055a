#include "manifest/manifest.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "common/json_text.h"
#include "common/message_text.h"
#include "common/number_text.h"
#include "dynamic/dynamic_options.h"
#include "formats/format_table.h"
#include "grouptrace/file_source.h"
#include "io/read_whole.h"
#include "network/network_options.h"
#include "parameters/parameter_table.h"

namespace grouptrace {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8Length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    std::size_t length = 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else if ((length = utf8Length(text)) != 0) {
          out.append(text.data(), length);
        } else {
          out += "\\ufffd";
          length = 1;
        }
    }
    text.remove_prefix(length);
  }
  return out + "\"";
}

std::string manifestJson(const Manifest& m) {
  const auto field = [](std::string_view name, const std::string& value) {
    return "  " + jsonString(name) + ": " + value + ",\n";
  };
  std::string out = "{\n";
  out += field("version", jsonString(m.version));
  out += field("seed", std::to_string(m.config.seed));
  out += "  \"parameters\": {\n";
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    out += "    " + jsonString(kParameterNames[i]) + ": " +
           std::to_string(parameterAt(m.config.parameters, i)) +
           (i + 1 < kParameterNames.size() ? ",\n" : "\n");
  }
  out += "  },\n";
  out += field("status", jsonString(m.run.status == RunStatus::stalled ? "stalled" : "complete"));
  out += field("trans", std::to_string(m.run.trans));
  out += field("joins", std::to_string(m.run.joins));
  out += field("leaves", std::to_string(m.run.leaves));
  out += field("requests", std::to_string(m.run.joins + m.run.leaves));
  out += field("bytes", std::to_string(m.bytes));
  out += field("output", m.output ? jsonString(*m.output) : "null");
  // Absent when unknown (a record read from a manifest older than the hash):
  // a blank one would be refused on reading.
  if (!m.sha256.empty()) out += field("sha256", jsonString(m.sha256));
  out += "  \"format\": " + jsonString(formatName(m.config.format));
  // Only when given, so that every other manifest stays as it was.
  if (m.legacyNumbers) out += ",\n  \"legacyNumbers\": true";
  // The network options, only when given; the network's hash and its nodes'
  // ids, so that a replay runs on the very network recorded.
  for (const network::OptionEntry& entry : network::kOptionTable) {
    const std::string text = entry.text(m.config);
    if (!text.empty()) out += ",\n  " + jsonString(entry.keyword) + ": " + jsonString(text);
  }
  if (m.config.topology && m.config.topology->network) {
    const Topology& network = *m.config.topology->network;
    out +=
        ",\n  \"topology_sha256\": " + jsonString(network.sha256()) + ",\n  \"topology_nodes\": [";
    for (NODEID i = 0; i < network.nodeCount(); ++i) {
      out += (i == 0 ? "" : ", ") + jsonString(network.nodeId(i));
    }
    out += "]";
  }
  if (m.config.dynamic) {
    // The timed model's version and options, as texts its option readers take
    // back, and the parameters it does not use.
    out += ",\n  \"model\": " + jsonString(dynamic::modelVersionName(m.config.dynamic->model)) +
           ",\n  \"dynamic\": {";
    bool first = true;
    for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
      const std::string text = entry.text(*m.config.dynamic);
      if (text.empty()) continue;
      out += std::string(first ? "\n" : ",\n") + "    " + jsonString(entry.keyword) + ": " +
             jsonString(text);
      first = false;
    }
    out += "\n  },\n  \"blocked\": " + std::to_string(m.run.blocked) +
           ",\n  \"unusedParameters\": [\"maxTrans\", \"currTrans\", \"orderedJoinLeave\"]";
  }
  out += "\n}\n";
  return out;
}

namespace {

using Json = json::Value;

// The keys manifestJson writes: a manifest may hold these and no others.
constexpr std::string_view kManifestKeys[] = {"version",
                                              "seed",
                                              "parameters",
                                              "status",
                                              "trans",
                                              "joins",
                                              "leaves",
                                              "requests",
                                              "bytes",
                                              "output",
                                              "format",
                                              "sha256",
                                              "legacyNumbers",
                                              "model",
                                              "dynamic",
                                              "blocked",
                                              "unusedParameters",
                                              "topology_sha256",
                                              "topology_nodes"};

Json parse(std::string_view text) {
  try {
    return json::parse(text);
  } catch (const json::ParseError& e) {
    throw ManifestError(e.what());
  }
}

const Json& member(const Json& object, std::string_view key, std::string_view where) {
  const auto found = object.find(std::string(key));
  if (found == object.end()) {
    throw ManifestError(std::string(where) + " has no \"" + std::string(key) + "\"");
  }
  return *found;
}

std::int64_t wholeNumber(const Json& value, std::string_view key, std::int64_t low,
                         std::int64_t high) {
  if (!value.is_number_integer()) {
    throw ManifestError("\"" + std::string(key) + "\" must be a whole number, found " +
                        json::shown(value));
  }
  const bool unsignedValue = value.is_number_unsigned();
  const auto big = unsignedValue ? value.get<std::uint64_t>() : 0;
  const std::int64_t v = unsignedValue ? static_cast<std::int64_t>(big) : value.get<std::int64_t>();
  if ((unsignedValue && big > static_cast<std::uint64_t>(high)) || v < low || v > high) {
    throw ManifestError("\"" + std::string(key) + "\" is out of range: " + json::shown(value));
  }
  return v;
}

std::string text(const Json& value, std::string_view key) {
  if (!value.is_string()) {
    throw ManifestError("\"" + std::string(key) + "\" must be a string, found " +
                        json::shown(value));
  }
  return value.get<std::string>();
}

Parameters parametersOf(const Json& object, std::string_view where) {
  if (!object.is_object()) throw ManifestError(std::string(where) + " is not a JSON object");
  for (const auto& [key, value] : object.items()) {
    bool known = false;
    for (const ParameterEntry& entry : kParameterTable) known = known || key == entry.name;
    if (!known)
      throw ManifestError(std::string(where) + " has an unknown key " + quotedText(key, 40));
  }
  Parameters p;
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    const std::string_view name = kParameterTable[i].name;
    parameterAt(p, i) = static_cast<std::int32_t>(
        wholeNumber(member(object, name, where), name, kInt32Min, kInt32Max));
  }
  return p;
}

void onlyKnownKeys(const Json& object) {
  for (const auto& [key, value] : object.items()) {
    bool known = false;
    for (const std::string_view k : kManifestKeys) known = known || key == k;
    for (const network::OptionEntry& e : network::kOptionTable) known = known || key == e.keyword;
    if (!known) throw ManifestError("the manifest has an unknown key " + quotedText(key, 40));
  }
}

}  // namespace

Manifest readManifest(std::string_view source) {
  const Json json = parse(source);
  if (!json.is_object()) throw ManifestError("a manifest is a JSON object");
  onlyKnownKeys(json);
  Manifest m;
  constexpr std::int64_t kMaxCount = std::numeric_limits<std::int64_t>::max();
  m.version = text(member(json, "version", "the manifest"), "version");
  m.config.seed = static_cast<SEED_type>(wholeNumber(member(json, "seed", "the manifest"), "seed",
                                                     std::numeric_limits<SEED_type>::min(),
                                                     std::numeric_limits<SEED_type>::max()));
  m.config.parameters = parametersOf(member(json, "parameters", "the manifest"), "\"parameters\"");
  const std::string format = text(member(json, "format", "the manifest"), "format");
  const auto parsed = parseTraceFormat(format);
  if (!parsed) throw ManifestError("unknown \"format\" " + quotedText(format, 40));
  m.config.format = *parsed;
  const std::string status = text(member(json, "status", "the manifest"), "status");
  if (status != "complete" && status != "stalled") {
    throw ManifestError("unknown \"status\" " + quotedText(status, 40));
  }
  m.run.status = status == "stalled" ? RunStatus::stalled : RunStatus::complete;
  m.run.trans = wholeNumber(member(json, "trans", "the manifest"), "trans", -kMaxCount, kMaxCount);
  m.run.joins = wholeNumber(member(json, "joins", "the manifest"), "joins", 0, kMaxCount);
  m.run.leaves = wholeNumber(member(json, "leaves", "the manifest"), "leaves", 0, kMaxCount);
  m.bytes = static_cast<std::uint64_t>(
      wholeNumber(member(json, "bytes", "the manifest"), "bytes", 0, kMaxCount));
  const Json& output = member(json, "output", "the manifest");
  if (!output.is_null()) m.output = text(output, "output");
  const std::int64_t requests =
      wholeNumber(member(json, "requests", "the manifest"), "requests", 0, kMaxCount);
  if (requests != m.run.joins + m.run.leaves) {
    throw ManifestError("\"requests\" " + std::to_string(requests) + " is not \"joins\" plus " +
                        "\"leaves\", " + std::to_string(m.run.joins + m.run.leaves));
  }
  // Absent in manifests written before it existed; present, it is a hash, or
  // a blank one would pass for "not recorded" and check nothing.
  if (json.contains("sha256")) {
    m.sha256 = text(json["sha256"], "sha256");
    if (m.sha256.size() != 64 || m.sha256.find_first_not_of("0123456789abcdef") != m.sha256.npos) {
      throw ManifestError("\"sha256\" must be 64 lowercase hexadecimal digits, found " +
                          quotedText(m.sha256, 40));
    }
  }
  if (json.contains("model") || json.contains("dynamic")) {
    const std::string model = text(member(json, "model", "the manifest"), "model");
    const auto version = dynamic::parseModelVersion(model);
    if (!version) {
      throw ManifestError("a run of the model " + quotedText(model, 40) +
                          ", which this version does not make (it makes dynamic-1 and " +
                          std::string(dynamic::kModelVersion) + ")");
    }
    const Json& options = member(json, "dynamic", "the manifest");
    if (!options.is_object()) throw ManifestError("\"dynamic\" is not a JSON object");
    dynamic::DynamicOptions timed;
    timed.model = *version;
    for (const auto& [key, value] : options.items()) {
      const dynamic::OptionEntry* entry = nullptr;
      for (const dynamic::OptionEntry& e : dynamic::kOptionTable) {
        if (key == e.keyword) entry = &e;
      }
      if (entry == nullptr) {
        throw ManifestError("\"dynamic\" has an unknown key " + quotedText(key, 40));
      }
      try {
        entry->apply(timed, text(value, key));
      } catch (const std::invalid_argument& e) {
        throw ManifestError(e.what());
      }
    }
    if (!options.contains("duration")) throw ManifestError("\"dynamic\" has no \"duration\"");
    m.config.dynamic = timed;
    if (json.contains("blocked")) {
      m.run.blocked = wholeNumber(json["blocked"], "blocked", 0, kMaxCount);
    }
  }
  for (const network::OptionEntry& entry : network::kOptionTable) {
    const std::string key(entry.keyword);
    if (!json.contains(key)) continue;
    try {
      entry.apply(m.config, text(json[key], key));
    } catch (const std::invalid_argument& e) {
      throw ManifestError(e.what());
    }
  }
  if (m.config.topology) {
    // A network is recorded with its hash: a replay must not run on another.
    m.config.topology->sha256 =
        text(member(json, "topology_sha256", "the manifest"), "topology_sha256");
    const Json& nodes = member(json, "topology_nodes", "the manifest");
    if (!nodes.is_array()) throw ManifestError("\"topology_nodes\" is not a JSON array");
    for (const Json& id : nodes) m.topologyNodes.push_back(text(id, "topology_nodes"));
  }
  if (json.contains("legacyNumbers")) {
    if (!json["legacyNumbers"].is_boolean()) {
      throw ManifestError("\"legacyNumbers\" must be true or false");
    }
    m.legacyNumbers = json["legacyNumbers"].get<bool>();
  }
  return m;
}

Parameters readJsonParameters(std::string_view source) {
  const Json json = parse(source);
  if (!json.is_object()) throw ManifestError("a JSON parameter file is a JSON object");
  if (json.contains("parameters")) {
    onlyKnownKeys(json);
    return parametersOf(json["parameters"], "\"parameters\"");
  }
  return parametersOf(json, "the parameter file");
}

std::string traceMismatches(const Manifest& m, const TraceFound& found) {
  std::string faults;
  if (found.bytes != m.bytes) {
    faults +=
        "; " + std::to_string(found.bytes) + " bytes where it records " + std::to_string(m.bytes);
  }
  if (!m.sha256.empty() && found.sha256 != m.sha256) {
    faults += "; sha256 " + found.sha256 + " where it records " + m.sha256;
  }
  if (!found.format) return faults;
  if (*found.format != m.config.format || found.timed != m.config.dynamic.has_value()) {
    const auto form = [](TraceFormat format, bool timed) {
      return std::string(timed ? "timed " : "") + std::string(formatName(format));
    };
    faults += "; a " + form(*found.format, found.timed) + " trace where it records a " +
              form(m.config.format, m.config.dynamic.has_value()) + " one";
    return faults;
  }
  const TraceSummary& s = found.summary;
  const FormatHolds& holds = formatEntry(*found.format).holds;
  if (s.joins != m.run.joins || s.leaves != m.run.leaves ||
      (holds.counter && s.trans != m.run.trans) ||
      (holds.summary && found.timed && s.blocked != m.run.blocked)) {
    faults += "; its summary differs from the counts recorded (" + std::to_string(s.joins) +
              " joins and " + std::to_string(s.leaves) + " leaves; it records " +
              std::to_string(m.run.joins) + " and " + std::to_string(m.run.leaves) + ")";
  }
  return faults;
}

Parameters parseParameterFile(std::string_view text) {
  if (!looksLikeJson(text)) return parseParameters(text);
  Parameters parameters;
  try {
    parameters = readJsonParameters(text);
  } catch (const ManifestError& e) {
    throw std::invalid_argument(e.what());
  }
  checkParameters(parameters);
  return parameters;
}

std::optional<std::string> timedModelOf(std::string_view source) {
  const Json json = parse(source);
  if (!json.is_object()) throw ManifestError("a JSON parameter file is a JSON object");
  const auto model = json.find("model");
  if (model == json.end() || !json.contains("parameters")) return std::nullopt;
  return model->is_string() ? model->get<std::string>() : model->dump();
}

bool looksLikeJson(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const std::size_t first = text.find_first_not_of(" \t\n\v\f\r");
  return first != std::string_view::npos && text[first] == '{';
}

bool sameTraces(std::string_view version, std::string_view ours) {
  const auto major = [](std::string_view v) { return v.substr(0, v.find('.')); };
  return !version.empty() && major(version) == major(ours) &&
         version.find_first_not_of("0123456789.") == std::string_view::npos;
}

Manifest readManifestFile(const std::string& path) {
  FileSource file(path);
  std::string text;
  if (!readWhole(file, text, std::size_t{1} << 20)) throw ManifestError("over 1 MiB: no manifest");
  return readManifest(text);
}

}  // namespace grouptrace
