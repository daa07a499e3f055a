// The programs under hostile input: every case ends in its status and a
// message, within a time limit, never in a signal, and leaves on disk what
// was there before plus what a sound run writes, nothing else (a temporary
// file, a half pair).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "inspect_test_support.h"

namespace grouptrace {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScratchDir;
using testing::shellQuoted;
using testing::writeFile;

const std::string kStream = "30\n4\n500\n0\n6\n1\n512\n64\n5\n50\n1\n6\n0\n";

// The programs as the shell functions G and I, each killed when it hangs
// (status 137).
std::string programs() {
  return "G() { timeout -s KILL 60 " + testing::launched(GROUPTRACE_BINARY) +
         " \"$@\"; }; I() { timeout -s KILL 60 " + testing::launched(GROUPTRACE_INSPECT_BINARY) +
         " \"$@\"; }; ";
}

struct Case {
  const char* what;
  std::map<std::string, std::string> files;  // written into an empty folder
  std::string command;                       // run there; G and I start the programs
  std::set<int> status;
  std::string message;
  // Names in the folder afterwards beside the files given; every file given
  // keeps its bytes.
  std::set<std::string> added = {};
};

std::string commandLine(const std::string& command) {
  return programs() + command;
}

std::set<std::string> namesIn(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

void runCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const auto dir = scratch / "work";
    std::filesystem::create_directory(dir);
    std::set<std::string> expected = c.added;
    for (const auto& [name, text] : c.files) {
      writeFile(dir / name, text);
      expected.insert(name);
    }
    const auto r =
        runCommand(programs() + "cd " + shellQuoted(dir.string()) + " && " + c.command, scratch);
    EXPECT_TRUE(c.status.count(r.status)) << "status " << r.status << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (r.status == 2) {
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(namesIn(dir), expected);
    for (const auto& [name, text] : c.files) {
      EXPECT_TRUE(readFile(dir / name) == text) << name << " changed";
    }
  }
}

// What a run writes, made once for the cases to alter.
struct Made {
  std::string manifest, timedManifest, jsonl;
};

const Made& made() {
  static const Made m = [] {
    ScratchDir scratch;
    writeFile(scratch / "p", kStream);
    const std::string g = testing::launched(GROUPTRACE_BINARY),
                      p = shellQuoted((scratch / "p").string());
    const std::string at = "cd " + shellQuoted(scratch.path().string()) + " && ";
    const auto classic = runCommand(at + g + " -s 3 -p " + p + " -o t --manifest m.json", scratch);
    const auto timed = runCommand(at + g + " -p " + p +
                                      " --model dynamic --duration 2000 --holding exp:900 "
                                      "--join-rate 1 -o tt --manifest tm.json",
                                  scratch);
    const auto jsonl = runCommand(g + " -s 3 --format jsonl -p " + p, scratch);
    if (classic.status != 0 || timed.status != 0 || jsonl.status != 0) {
      throw std::runtime_error("cannot make the runs the cases alter");
    }
    return Made{readFile(scratch / "m.json"), readFile(scratch / "tm.json"), jsonl.out};
  }();
  return m;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("no " + from + " in the text");
  return text.replace(at, from.size(), to);
}

std::string jsonParameters(const std::string& nodes) {
  return "{\"nNodes\": " + nodes +
         ", \"nSessions\": 4, \"maxTrans\": 500, \"currTrans\": 0, \"avgSize\": 6, "
         "\"nQoSLevels\": 1, \"maxBand\": 512, \"minBand\": 64, \"minDelay\": 5, \"maxDelay\": 50, "
         "\"minHops\": 1, \"maxHops\": 6, \"orderedJoinLeave\": 0}";
}

const std::string kDeep = std::string(100000, '[') + std::string(100000, ']');

TEST(HostileInput, TheGeneratorEndsEveryCaseSoundly) {
  const Made& m = made();
  const std::string seed = "\"seed\": 3,";
  const std::string sha = m.manifest.substr(m.manifest.find("\"sha256\": \""), 11 + 64 + 1);
  runCases({
      {"a number too large in JSON",
       {{"p.json", jsonParameters("1e400")}},
       "G < p.json",
       {2},
       "the number 1e400 is too large to hold"},
      {"a seed of 401 digits in a manifest",
       {{"m.json", replaced(m.manifest, seed, "\"seed\": 1" + std::string(400, '0') + ",")}},
       "G --replay m.json",
       {2},
       "is too large to hold"},
      {"JSON nested past any record",
       {{"p.json", jsonParameters(kDeep)}},
       "G -p p.json",
       {2},
       "nested over 32 deep"},
      {"a key given twice",
       {{"p.json", replaced(jsonParameters("30"), "{", "{\"nNodes\": 5, ")}},
       "G -p p.json",
       {2},
       "the key \"nNodes\" is given twice"},
      {"a manifest whose sha256 is blank",
       {{"m.json", replaced(m.manifest, sha, "\"sha256\": \"\"")}},
       "G --replay m.json",
       {2},
       "\"sha256\" must be 64 lowercase hexadecimal digits"},
      {"a manifest whose requests are not its joins and leaves",
       {{"m.json", replaced(m.manifest, "\"requests\": ", "\"requests\": 1")}},
       "G --replay m.json",
       {2},
       "is not \"joins\" plus \"leaves\""},
      {"a timed manifest without its duration",
       {{"m.json", replaced(m.timedManifest, "\"duration\": \"2000\",", "")}},
       "G --replay m.json",
       {2},
       "\"dynamic\" has no \"duration\""},
      {"a manifest that is a dangling link to the trace",
       {{"p", kStream}},
       "ln -s run.trace run.json && G -p p -o run.trace --manifest run.json",
       {2},
       "the trace and the manifest would be the same file",
       {"run.json"}},
      {"--replay over its own manifest",
       {{"m.json", m.manifest}},
       "G --replay m.json -o m.json",
       {2},
       "is the manifest being replayed"},
      {"--replay recording over its own manifest",
       {{"m.json", m.manifest}},
       "G --replay m.json -o t --manifest m.json",
       {2},
       "is the manifest being replayed"},
      {"a manifest recording another ending",
       {{"m.json", replaced(m.manifest, "\"complete\"", "\"stalled\"")}},
       "G --replay m.json -o t",
       {1},
       "differs from the one m.json describes"},
      {"a timed manifest recording other blocked joins",
       {{"m.json", replaced(m.timedManifest, "\"blocked\": ", "\"blocked\": 1")}},
       "G --replay m.json -o t",
       {1},
       "differs from the one m.json describes"},
      {"a JSON parameter file of over 1 MiB",
       {{"p.json", "{" + std::string((1 << 20) + 1, ' ') + "}"}},
       "G -p p.json",
       {2},
       "a JSON parameter file of over 1 MiB"},
      {"a manifest to replay that is not there",
       {},
       "G --replay m.json",
       {2},
       "cannot read the manifest m.json: No such file or directory"},
      {"a network file that never ends",
       {{"p", kStream}},
       "G -p p --topology /dev/zero -o t --manifest m.json",
       {2},
       "/dev/zero: over 256 MiB, larger than any network file this reads"},
      // What the run itself throws ends at the program's last boundary.
      {"a holding time whose moments overflow",
       {{"p", kStream}},
       "G -p p --model dynamic --duration 10 --holding exp:5e-324 -o t --manifest m.json",
       {1, 2},
       "overflow"},
  });
}

TEST(HostileInput, TheInspectorEndsEveryCaseSoundly) {
  const Made& m = made();
  const std::string request = "{\"phase\":\"join-leave\",\"kind\":\"leave\",\"node\":";
  const std::string leave = m.jsonl.substr(m.jsonl.find(request), request.size() + 1);
  runCases({
      {"a line nested past any record",
       {{"t.jsonl", replaced(m.jsonl, leave, request + kDeep + ",")}},
       "I check t.jsonl",
       {1},
       "nested over 32 deep"},
      {"a line nested past any record, exported",
       {{"t.jsonl", replaced(m.jsonl, leave, request + kDeep + ",")}},
       "I export --format csv -o out.csv t.jsonl",
       {1},
       "nested over 32 deep"},
      {"a number too large in a line",
       {{"t.jsonl", replaced(m.jsonl, leave, request + "1e400,")}},
       "I stats t.jsonl",
       {1},
       "the number 1e400 is too large to hold"},
      {"a manifest with a number too large",
       {{"m.json", replaced(m.manifest, "\"bytes\": ", "\"bytes\": 1e400, \"x\": ")}},
       "I verify m.json",
       {2},
       "the number 1e400 is too large to hold"},
      {"a manifest with a key twice",
       {{"m.json", replaced(m.manifest, "\"bytes\": ", "\"bytes\": 1, \"bytes\": ")}},
       "I verify m.json",
       {2},
       "the key \"bytes\" is given twice"},
      {"a manifest of over 1 MiB",
       {{"m.json", "{" + std::string((1 << 20) + 1, ' ') + "}"}},
       "I verify m.json",
       {2},
       "over 1 MiB: no manifest"},
      {"a manifest of a trace on standard output",
       {{"m.json", replaced(m.manifest, "\"output\": \"t\"", "\"output\": null")}},
       "I verify m.json",
       {2},
       "records a trace written to standard output"},
      {"a manifest whose trace never ends",
       {{"m.json", replaced(m.manifest, "\"output\": \"t\"", "\"output\": \"/dev/zero\"")}},
       "I verify m.json",
       {1},
       "where it records"},
  });
}

// One digit changed in place keeps the size, the counts and the form: only
// the hash tells the trace from the one recorded.
TEST(HostileInput, VerifyTellsATraceChangedInPlaceByItsHash) {
  ScratchDir scratch;
  writeFile(scratch / "p", kStream);
  const std::string at = "cd " + shellQuoted(scratch.path().string()) + " && ";
  ASSERT_EQ(runCommand(at + commandLine("G -s 3 -p p -o t --manifest m.json"), scratch).status, 0);
  std::string trace = readFile(scratch / "t");
  const std::size_t band = trace.rfind(" : 1 : ") + 7;  // the last join's band
  trace[band] = trace[band] == '1' ? '2' : '1';
  writeFile(scratch / "t", trace);
  const auto r = runCommand(at + commandLine("I verify m.json"), scratch);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("t: does not match m.json; sha256 "), std::string::npos) << r.err;
}

// What a sound reading of a hostile-looking input gives: the result the plain
// input gives.
TEST(HostileInput, SoundReadingsGiveThePlainResult) {
  ScratchDir scratch;
  const auto runs = scratch / "runs";
  std::filesystem::create_directory(runs);
  writeFile(scratch / "p", kStream);
  writeFile(scratch / "p.json", "\xEF\xBB\xBF \n\t" + jsonParameters("30") + "\n");
  const std::string at = "cd " + shellQuoted(scratch.path().string()) + " && ";
  const auto plain = runCommand(at + commandLine("G 5 < p"), scratch);
  const auto json = runCommand(at + commandLine("G 5 < p.json"), scratch);
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(json.out == plain.out) << "a JSON file after a byte-order mark and blanks";

  // A manifest names its trace from its own folder: the pair verifies from
  // anywhere, and after a move.
  ASSERT_EQ(runCommand(at + commandLine("G -p p -o runs/t --manifest runs/m.json"), scratch).status,
            0);
  EXPECT_NE(readFile(runs / "m.json").find("\"output\": \"t\","), std::string::npos);
  std::filesystem::rename(runs, scratch / "moved");
  const auto verified = runCommand(at + commandLine("I verify moved/m.json"), scratch);
  EXPECT_EQ(verified.status, 0) << verified.err;

  // File names in machine-readable stats are the names, quoted as the form
  // quotes, not escaped for a terminal.
  writeFile(scratch / "a\nb,c", readFile(scratch / "moved" / "t"));
  const auto stats = runCommand(at + commandLine("I stats --format json 'a\nb,c'"), scratch);
  EXPECT_EQ(stats.out.rfind("{\"file\":\"a\\nb,c\",", 0), 0u) << stats.out;
  const auto csv = runCommand(at + commandLine("I stats --format csv 'a\nb,c'"), scratch);
  EXPECT_NE(csv.out.find("\n\"a\nb,c\","), std::string::npos) << csv.out;
}

}  // namespace
}  // namespace grouptrace
