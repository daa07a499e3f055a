// Manifests as records a run can be made again from: the hash of the output,
// replay, JSON parameter files, and what is refused.
#include "manifest/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
  const std::string launcher = GROUPTRACE_LAUNCHER;
  return (launcher.empty() ? "" : shellQuoted(launcher) + " ") + shellQuoted(GROUPTRACE_BINARY);
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
  otherMajor.replace(otherMajor.find(kVersion), 1, "9");
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

TEST(Manifest, OnlyTheSameMajorVersionMakesTheSameTraces) {
  EXPECT_TRUE(sameTraces("1.0.0", "1.4.2"));
  EXPECT_FALSE(sameTraces("2.0.0", "1.4.2"));
  EXPECT_FALSE(sameTraces("", "1.0.0"));
  EXPECT_FALSE(sameTraces("1.0.0; rm -rf", "1.0.0"));
}

}  // namespace
}  // namespace grouptrace
