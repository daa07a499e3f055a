// Manifests as records a run can be made again from: the hash of the output,
// replay, JSON parameter files, and what is refused.
#include "manifest/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "dynamic/dynamic_options.h"
#include "grouptrace/version.h"
#include "inspect_test_support.h"
#include "io/sha256.h"

namespace grouptrace {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScratchDir;
using testing::shellQuoted;
using testing::writeFile;

std::string sha256(const std::string& text, std::size_t piece) {
  Sha256 hash;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    hash.update(text.data() + at, std::min(piece, text.size() - at));
  }
  return hash.hex();
}

// The standard's own examples, fed whole and in pieces that straddle blocks.
TEST(Sha256, GivesTheStandardsDigestsHoweverTheBytesArrive) {
  const std::string million(1000000, 'a');
  for (const std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64},
                                  std::size_t{1000}, std::size_t{1} << 20}) {
    EXPECT_EQ(sha256("", piece),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256("abc", piece),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", piece),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256(million, piece),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
}

std::string generator() {
  return testing::launched(GROUPTRACE_BINARY);
}

std::string q(const std::filesystem::path& path) {
  return shellQuoted(path.string());
}

const std::string kStream = "30\n4\n500\n0\n6\n1\n512\n64\n5\n50\n1\n6\n0\n";

// A run recorded with its manifest, made again from the manifest alone.
TEST(Manifest, ReplayMakesTheRecordedTraceAndRefusesWhatItCannotMake) {
  ScratchDir scratch;
  writeFile(scratch / "p", kStream);
  for (const char* format : {"trace", "csv", "jsonl"}) {
    SCOPED_TRACE(format);
    const auto made =
        runCommand(generator() + " -s 9 --format " + format + " -p " + q(scratch / "p") + " -o " +
                       q(scratch / "t") + " --manifest " + q(scratch / "m.json"),
                   scratch);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string trace = readFile(scratch / "t");
    const Manifest m = readManifest(readFile(scratch / "m.json"));
    EXPECT_EQ(m.sha256, sha256(trace, 4096));
    EXPECT_EQ(m.bytes, trace.size());
    EXPECT_EQ(formatName(m.config.format), format);

    const auto again = runCommand(generator() + " --replay " + q(scratch / "m.json"), scratch);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(again.out == trace);
  }

  // Another major version's traces, or a hash the run does not give, are
  // refused; the file to be replaced stays as it was.
  const std::string manifest = readFile(scratch / "m.json");
  std::string otherMajor = manifest;
  otherMajor[otherMajor.find(kVersion)] = '9';
  writeFile(scratch / "v.json", otherMajor);
  const auto refused = runCommand(generator() + " --replay " + q(scratch / "v.json"), scratch);
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("another major version"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out, "");

  std::string wrongHash = manifest;
  const std::size_t hash = wrongHash.find("\"sha256\": \"") + 11;
  wrongHash[hash] = wrongHash[hash] == '0' ? '1' : '0';
  writeFile(scratch / "h.json", wrongHash);
  writeFile(scratch / "kept", "old\n");
  const auto differs = runCommand(
      generator() + " --replay " + q(scratch / "h.json") + " -o " + q(scratch / "kept"), scratch);
  EXPECT_EQ(differs.status, 1);
  EXPECT_NE(differs.err.find("differs"), std::string::npos) << differs.err;
  EXPECT_EQ(readFile(scratch / "kept"), "old\n");

  // What a timed CSV trace's bytes do not hold, its ending and counts, the
  // replay holds against the record all the same.
  ASSERT_EQ(runCommand(generator() + " -s 9 --model dynamic --duration 400 --format csv -p " +
                           q(scratch / "p") + " -o " + q(scratch / "tt") + " --manifest " +
                           q(scratch / "tm.json"),
                       scratch)
                .status,
            0);
  const std::string timed = readFile(scratch / "tm.json");
  ASSERT_EQ(runCommand(generator() + " --replay " + q(scratch / "tm.json"), scratch).status, 0);
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"\"status\": \"complete\"", "\"status\": \"stalled\""},
           {"\"trans\": ", "\"trans\": 1"},
           {"\"blocked\": ", "\"blocked\": 1"}}) {
    SCOPED_TRACE(to);
    std::string edited = timed;
    ASSERT_NE(edited.find(from), std::string::npos);
    writeFile(scratch / "e.json", edited.replace(edited.find(from), from.size(), to));
    const auto replayed = runCommand(generator() + " --replay " + q(scratch / "e.json"), scratch);
    EXPECT_EQ(replayed.status, 1);
    EXPECT_NE(replayed.err.find("differs"), std::string::npos) << replayed.err;
  }

  const auto mixed =
      runCommand(generator() + " --replay " + q(scratch / "m.json") + " --seed 4", scratch);
  EXPECT_EQ(mixed.status, 2);
}

TEST(Manifest, JsonParameterFilesGiveTheStreamsTrace) {
  ScratchDir scratch;
  writeFile(scratch / "p", kStream);
  const auto plain = runCommand(generator() + " 5 < " + q(scratch / "p"), scratch);
  ASSERT_EQ(plain.status, 0);

  std::string object = "{";
  const char* names[] = {"nNodes",     "nSessions", "maxTrans",        "currTrans", "avgSize",
                         "nQoSLevels", "maxBand",   "minBand",         "minDelay",  "maxDelay",
                         "minHops",    "maxHops",   "orderedJoinLeave"};
  const int values[] = {30, 4, 500, 0, 6, 1, 512, 64, 5, 50, 1, 6, 0};
  for (int i = 0; i < 13; ++i) {
    object += std::string(i ? ", " : "") + "\"" + names[i] + "\": " + std::to_string(values[i]);
  }
  object += "}";
  writeFile(scratch / "p.json", object);
  const auto fromJson = runCommand(generator() + " 5 -p " + q(scratch / "p.json"), scratch);
  ASSERT_EQ(fromJson.status, 0) << fromJson.err;
  EXPECT_TRUE(fromJson.out == plain.out);

  // A manifest serves as a parameter file, on standard input too.
  runCommand(generator() + " 1 -p " + q(scratch / "p") + " -o " + q(scratch / "t") +
                 " --manifest " + q(scratch / "m.json"),
             scratch);
  const auto fromManifest = runCommand(generator() + " 5 < " + q(scratch / "m.json"), scratch);
  ASSERT_EQ(fromManifest.status, 0) << fromManifest.err;
  EXPECT_TRUE(fromManifest.out == plain.out);

  struct Bad {
    std::string text, message;
  };
  std::string unknown = object;
  unknown.insert(1, "\"nodes\": 3, ");
  std::string missing = object.substr(0, object.find(", \"orderedJoinLeave\"")) + "}";
  std::string fraction = object;
  fraction.replace(fraction.find("30"), 2, "30.5");
  for (const Bad& bad :
       {Bad{unknown, "unknown key \"nodes\""}, Bad{missing, "no \"orderedJoinLeave\""},
        Bad{fraction, "\"nNodes\" must be a whole number"},
        Bad{"{\"nNodes\": ", "not valid JSON"}}) {
    writeFile(scratch / "bad.json", bad.text);
    const auto r = runCommand(generator() + " -p " + q(scratch / "bad.json"), scratch);
    EXPECT_EQ(r.status, 2) << bad.text;
    EXPECT_NE(r.err.find(bad.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    out.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return out;
}

std::string inspector() {
  return testing::launched(GROUPTRACE_INSPECT_BINARY);
}

// A sweep's summaries as data: every file checked and counted, each named, a
// faulty one reported without stopping the others.
TEST(Manifest, VerifyAndSummariesOfManyTraces) {
  ScratchDir scratch;
  writeFile(scratch / "p", kStream);
  for (const char* seed : {"1", "2"}) {
    const auto r = runCommand(generator() + " -s " + seed + " -p " + q(scratch / "p") + " -o " +
                                  q(scratch / (std::string(seed) + ".trace")) + " --manifest " +
                                  q(scratch / (std::string(seed) + ".json")),
                              scratch);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  writeFile(scratch / "bad.trace", "not a trace\n");
  const std::string one = q(scratch / "1.trace"), two = q(scratch / "2.trace");

  const auto check = runCommand(
      inspector() + " check " + one + " " + q(scratch / "bad.trace") + " " + two, scratch);
  EXPECT_EQ(check.status, 1);
  const auto verdicts = lines(check.out);
  ASSERT_EQ(verdicts.size(), 2u) << check.out;
  EXPECT_EQ(verdicts[0].rfind((scratch / "1.trace").string() + ": valid: 4 sessions", 0), 0u);
  EXPECT_EQ(verdicts[1].rfind((scratch / "2.trace").string() + ": valid: 4 sessions", 0), 0u);
  EXPECT_NE(check.err.find("bad.trace:1:"), std::string::npos) << check.err;

  const auto json = runCommand(inspector() + " stats --format json " + one + " " + two, scratch);
  ASSERT_EQ(json.status, 0) << json.err;
  const auto objects = lines(json.out);
  ASSERT_EQ(objects.size(), 2u);
  const auto csv = runCommand(inspector() + " stats --format csv " + one + " " + two, scratch);
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto rows = lines(csv.out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].rfind("file,sessions,joins,leaves,requests,trans,", 0), 0u);
  // The same figures in both forms, and the counts the manifest recorded.
  for (std::size_t i = 0; i < 2; ++i) {
    const Manifest m = readManifest(readFile(scratch / (std::to_string(i + 1) + ".json")));
    const std::string counts = std::to_string(m.run.joins) + "," + std::to_string(m.run.leaves) +
                               "," + std::to_string(m.run.joins + m.run.leaves) + "," +
                               std::to_string(m.run.trans);
    EXPECT_NE(rows[i + 1].find(",4," + counts + ","), std::string::npos) << rows[i + 1];
    EXPECT_NE(objects[i].find("\"joins\":" + std::to_string(m.run.joins) + ","), std::string::npos);
  }

  const auto verified = runCommand(inspector() + " verify " + q(scratch / "1.json"), scratch);
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_NE(verified.out.find(": matches "), std::string::npos);
  const auto other =
      runCommand(inspector() + " verify " + q(scratch / "1.json") + " " + two, scratch);
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("does not match"), std::string::npos) << other.err;
  EXPECT_EQ(other.out, "");
}

// Every rule of a manifest, each fed a manifest that breaks it alone.
TEST(Manifest, EachRuleRefusesTheManifestThatBreaksIt) {
  Manifest m;
  m.version = kVersion;
  m.config.parameters = parseParameters(kStream);
  m.run = RunResult{RunStatus::complete, 60, 35, 25, 0};
  m.bytes = 3000;
  m.output = "t";
  m.sha256 = std::string(64, 'a');
  const std::string valid = manifestJson(m);
  ASSERT_NO_THROW(readManifest(valid));
  m.config.dynamic = dynamic::DynamicOptions{};
  m.config.dynamic->duration = 100;
  m.config.format = TraceFormat::csv;
  const std::string timed = manifestJson(m);
  ASSERT_NO_THROW(readManifest(timed));

  struct Fault {
    const char* what;
    std::string text;
    std::string message;
  };
  // The text with a key's value replaced, or the key removed.
  const auto without = [](const std::string& text, const char* key,
                          const std::optional<json::Value>& value = std::nullopt) {
    json::Value object = json::parse(text);
    if (value) {
      object[key] = *value;
    } else {
      object.erase(key);
    }
    return object.dump();
  };
  const auto edit = [](std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("no " + from);
    return text.replace(at, from.size(), to);
  };
  std::vector<Fault> faults = {
      {"not JSON", valid.substr(0, valid.size() - 3), "not valid JSON"},
      {"not an object", "[" + valid + "]", "a manifest is a JSON object"},
      {"an unknown key", edit(valid, "{", "{\"x\": 1,"), "unknown key \"x\""},
      {"a version that is a number", edit(valid, "\"" + std::string(kVersion) + "\"", "1"),
       "\"version\" must be a string"},
      {"a seed past 32 bits", edit(valid, "\"seed\": 0", "\"seed\": 2147483648"),
       "\"seed\" is out of range"},
      {"a seed with a fraction", edit(valid, "\"seed\": 0", "\"seed\": 0.5"),
       "\"seed\" must be a whole number"},
      {"parameters that are no object", without(valid, "parameters", json::Value::array()),
       "\"parameters\" is not a JSON object"},
      {"an unknown parameter", edit(valid, "\"nNodes\"", "\"nodes\""), "unknown key \"nodes\""},
      {"a parameter past 32 bits", edit(valid, "\"nNodes\": 30", "\"nNodes\": -2147483649"),
       "\"nNodes\" is out of range"},
      {"an unknown format", edit(valid, "\"format\": \"trace\"", "\"format\": \"xml\""),
       "unknown \"format\" \"xml\""},
      {"an unknown status", edit(valid, "\"complete\"", "\"done\""), "unknown \"status\""},
      {"negative joins", edit(valid, "\"joins\": 35", "\"joins\": -1"),
       "\"joins\" is out of range"},
      {"negative bytes", edit(valid, "\"bytes\": 3000", "\"bytes\": -1"),
       "\"bytes\" is out of range"},
      {"an output that is no text", edit(valid, "\"output\": \"t\"", "\"output\": 5"),
       "\"output\" must be a string"},
      {"a hash too short", edit(valid, std::string(64, 'a'), std::string(63, 'a')),
       "\"sha256\" must be 64"},
      {"a hash in capitals", edit(valid, std::string(64, 'a'), std::string(64, 'A')),
       "\"sha256\" must be 64"},
      {"requests that are not joins and leaves",
       edit(valid, "\"requests\": 60", "\"requests\": 61"), "\"requests\" 61 is not"},
      {"legacyNumbers that is no boolean",
       edit(valid, "\"format\"", "\"legacyNumbers\": 1, \"format\""), "must be true or false"},
      {"a model this version does not make", edit(timed, "\"dynamic-", "\"static-"),
       "which this version does not make"},
      {"dynamic that is no object", without(timed, "dynamic", json::Value::array()),
       "\"dynamic\" is not a JSON object"},
      {"an unknown option", edit(timed, "\"holding\"", "\"hold\""), "unknown key \"hold\""},
      {"an option that does not read", edit(timed, "\"exp:1800\"", "\"exp:x\""), "exp:x"},
      {"no duration", edit(timed, "\"duration\": \"100\",", ""), "has no \"duration\""},
      {"negative blocked joins", edit(timed, "\"blocked\": 0", "\"blocked\": -1"),
       "\"blocked\" is out of range"},
      {"a model without its options", edit(valid, "{", "{\"model\": \"dynamic-2\","),
       "has no \"dynamic\""},
      {"a network without its hash",
       edit(valid, "{", "{\"topology\": \"n\", \"topology_nodes\": [],"),
       "has no \"topology_sha256\""},
      {"a network without its nodes",
       edit(valid, "{", "{\"topology\": \"n\", \"topology_sha256\": \"0\","),
       "has no \"topology_nodes\""},
      {"nodes that are no list",
       edit(valid, "{",
            "{\"topology\": \"n\", \"topology_sha256\": \"0\", \"topology_nodes\": \"0\","),
       "\"topology_nodes\" is not a JSON array"},
      {"a node that is no text",
       edit(valid, "{",
            "{\"topology\": \"n\", \"topology_sha256\": \"0\", \"topology_nodes\": [0],"),
       "\"topology_nodes\" must be a string"},
      {"a bound that does not read", edit(valid, "{", "{\"hop_bound\": \"slack:2:1\","),
       "0 <= LO <= HI"},
      {"a bound that is no text", edit(valid, "{", "{\"hop_bound\": 2,"),
       "\"hop_bound\" must be a string"},
      {"a key twice", edit(valid, "{", "{\"seed\": 0,"), "given twice"},
      {"a number past a double", edit(valid, "\"bytes\": 3000", "\"bytes\": 1e999"),
       "too large to hold"},
      {"nesting past any record",
       edit(valid, "\"seed\": 0",
            "\"seed\": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"),
       "nested over 32 deep"},
  };
  for (const char* key : {"version", "seed", "parameters", "status", "trans", "joins", "leaves",
                          "requests", "bytes", "output", "format"}) {
    faults.push_back({key, without(valid, key), "has no \"" + std::string(key) + "\""});
  }
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    try {
      readManifest(fault.text);
      ADD_FAILURE() << "accepted:\n" << fault.text;
    } catch (const ManifestError& e) {
      EXPECT_NE(std::string(e.what()).find(fault.message), std::string::npos) << e.what();
    }
  }

  // A parameter file is an object of the 13 names, or a whole manifest.
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"[1]", "a JSON parameter file is a JSON object"},
           {edit(valid, "{", "{\"x\": 1,"), "unknown key \"x\""},
           {"{\"nNodes\": 30}", "has no \"nSessions\""}}) {
    try {
      readJsonParameters(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ManifestError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

// A trace is the one recorded only when every recorded fact holds: each row
// changes one fact, and says whether the change is a mismatch.
TEST(Manifest, ATraceMatchesOnlyWhenEveryRecordedFactHolds) {
  Manifest m;
  m.config.format = TraceFormat::trace;
  m.run = RunResult{RunStatus::complete, 60, 35, 25, 0};
  m.bytes = 3000;
  m.sha256 = std::string(64, 'a');
  TraceFound same;
  same.bytes = 3000;
  same.sha256 = m.sha256;
  same.format = TraceFormat::trace;
  same.summary = TraceSummary{60, 35, 25, 0};
  ASSERT_EQ(traceMismatches(m, same), "");

  const auto timed = [](Manifest t) {
    t.config.dynamic.emplace();
    t.run.blocked = 4;
    return t;
  };
  const auto timedFound = [](TraceFound f) {
    f.timed = true;
    f.summary.blocked = 4;
    return f;
  };
  const auto csv = [](Manifest c) {
    c.config.format = TraceFormat::csv;
    return c;
  };
  const struct {
    const char* what;
    Manifest manifest;
    std::function<void(TraceFound&)> change;
    std::string says;  // "" where the change is no mismatch
  } rows[] = {
      {"another size", m, [](TraceFound& f) { f.bytes = 3001; },
       "3001 bytes where it records 3000"},
      {"another hash", m, [](TraceFound& f) { f.sha256[63] = 'b'; }, "; sha256 "},
      {"any hash, none recorded",
       [&] {
         Manifest n = m;
         n.sha256.clear();
         return n;
       }(),
       [](TraceFound& f) { f.sha256 = std::string(64, 'c'); }, ""},
      {"unreadable, its bytes the same", m, [](TraceFound& f) { f.format.reset(); }, ""},
      {"another form", m, [](TraceFound& f) { f.format = TraceFormat::csv; }, "a csv trace where"},
      {"timed where classic", m, [](TraceFound& f) { f.timed = true; }, "a timed trace trace"},
      {"classic where timed", timed(m), [](TraceFound& f) { f.summary.blocked = 4; },
       "where it records a timed trace one"},
      {"another join count", m, [](TraceFound& f) { ++f.summary.joins; }, "summary differs"},
      {"another leave count", m, [](TraceFound& f) { ++f.summary.leaves; }, "summary differs"},
      {"another Trans", m, [](TraceFound& f) { ++f.summary.trans; }, "summary differs"},
      {"another Trans, in CSV, which holds none", csv(m),
       [](TraceFound& f) {
         f.format = TraceFormat::csv;
         ++f.summary.trans;
       },
       ""},
      {"other blocked joins, timed", timed(m),
       [&](TraceFound& f) {
         f = timedFound(f);
         ++f.summary.blocked;
       },
       "summary differs"},
      {"the same blocked joins, timed", timed(m), [&](TraceFound& f) { f = timedFound(f); }, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TraceFound found = same;
    row.change(found);
    const std::string faults = traceMismatches(row.manifest, found);
    if (row.says.empty()) {
      EXPECT_EQ(faults, "");
    } else {
      EXPECT_NE(faults.find(row.says), std::string::npos) << faults;
    }
  }
}

TEST(Manifest, OnlyTheSameMajorVersionMakesTheSameTraces) {
  EXPECT_TRUE(sameTraces("1.0.0", "1.4.2"));
  EXPECT_FALSE(sameTraces("2.0.0", "1.4.2"));
  EXPECT_FALSE(sameTraces("", "1.0.0"));
  EXPECT_FALSE(sameTraces("1.0.0; rm -rf", "1.0.0"));
}

}  // namespace
}  // namespace grouptrace
