#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "generator/my_io.h"
#include "generator/parameter_stream.h"
#include "generator/seed_argument.h"
#include "grouptrace/file_source.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/version.h"
#include "inspect_test_support.h"
#include "json_reader.h"
#include "manifest.h"

namespace grouptrace {
namespace {

using testing::JsonValue;
using testing::parseJson;
using testing::readFile;
using testing::runCommand;
using testing::ScratchDir;
using testing::shellQuoted;
using testing::writeFile;

std::string generator() {
  const std::string launcher = GROUPTRACE_LAUNCHER;
  return (launcher.empty() ? "" : shellQuoted(launcher) + " ") + shellQuoted(GROUPTRACE_BINARY);
}

std::string q(const std::filesystem::path& path) {
  return shellQuoted(path.string());
}

TraceSummary summaryOf(const std::filesystem::path& trace) {
  FileSource file(trace.string());
  TraceReader reader(file);
  TraceEvent event;
  while (reader.next(event)) {
    if (const auto* summary = std::get_if<TraceSummary>(&event)) return *summary;
  }
  throw std::runtime_error("no summary in " + trace.string());
}

std::set<std::string> namesIn(const ScratchDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The stored cases written to files: each trace byte for byte, and a manifest
// that is valid JSON and agrees with the trace as a reader sees it.
TEST(TraceFiles, EachTraceIsWrittenWholeWithAManifestThatDescribesIt) {
  ScratchDir scratch;
  const auto trace = scratch / "run \"1\".trace", manifest = scratch / "run.json";
  int cases = 0;
  for (const auto& stored : testing::goldenTraces()) {
    auto base = stored;
    base.replace_extension();
    const std::string args = std::filesystem::exists(base.string() + ".args")
                                 ? readFile(base.string() + ".args")
                                 : std::string();
    const SEED_type seed = *parseSeedArgument(args.c_str());
    const auto r = runCommand(generator() + " --seed=" + std::to_string(seed) + " -p " +
                                  q(base.string() + ".params") + " -o " + q(trace) +
                                  " --manifest " + q(manifest),
                              scratch);
    SCOPED_TRACE(stored.filename().string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(readFile(trace) == readFile(stored)) << "the trace differs";

    const JsonValue m = parseJson(readFile(manifest));
    const TraceSummary summary = summaryOf(trace);
    EXPECT_EQ(m["version"].text, kVersion);
    EXPECT_EQ(m["seed"].integer(), seed);
    std::FILE* in = std::fopen((base.string() + ".params").c_str(), "rb");
    myIO io(in);
    const Parameters p = readParameters(io);
    std::fclose(in);
    ASSERT_EQ(m["parameters"].members.size(), kParameterNames.size());
    for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
      EXPECT_EQ(m["parameters"][kParameterNames[i]].integer(), parameterAt(p, i));
    }
    EXPECT_EQ(m["status"].text, "complete");
    EXPECT_EQ(m["trans"].integer(), summary.trans);
    EXPECT_EQ(m["joins"].integer(), summary.joins);
    EXPECT_EQ(m["leaves"].integer(), summary.leaves);
    EXPECT_EQ(m["requests"].integer(), summary.joins + summary.leaves);
    EXPECT_EQ(m["bytes"].integer(), static_cast<long long>(std::filesystem::file_size(trace)));
    EXPECT_EQ(m["output"].text, trace.string());
    EXPECT_EQ(m["format"].text, "trace");
    ++cases;
  }
  EXPECT_GE(cases, 12);
  EXPECT_FALSE(parseJson(readFile(manifest)).has("legacyNumbers"));

  // A stream read the legacy way says so in its record.
  writeFile(scratch / "p", "3\n2\n6,0\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n");
  const auto legacy = runCommand(generator() + " --legacy-numbers -p " + q(scratch / "p") + " -o " +
                                     q(trace) + " --manifest " + q(manifest),
                                 scratch);
  ASSERT_EQ(legacy.status, 0) << legacy.err;
  const JsonValue record = parseJson(readFile(manifest));
  EXPECT_EQ(record["legacyNumbers"].kind, JsonValue::Kind::boolean);
  EXPECT_EQ(record["legacyNumbers"].text, "true");
  EXPECT_EQ(record["parameters"]["maxTrans"].integer(), 6);
  std::filesystem::remove(scratch / "p");

  // A file like any the user creates, and no temporary file left beside it.
  const mode_t mask = umask(0);
  umask(mask);
  struct stat info;
  ASSERT_EQ(stat(trace.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);
  EXPECT_EQ(namesIn(scratch),
            (std::set<std::string>{"command.err", "command.out", "run \"1\".trace", "run.json"}));
}

// A run that fails part way (a file-size limit, a run that cannot progress)
// leaves the files it was to replace exactly as they were, and nothing else.
TEST(TraceFiles, AFailedRunLeavesTheOldFilesAndNoTemporaryOnes) {
  ScratchDir scratch;
  const auto trace = scratch / "t", manifest = scratch / "m";
  const std::string large = "100\n10\n200000\n0\n20\n1\n100\n10\n1\n5\n1\n4\n0\n";
  const std::string stalls = "1\n2\n10\n0\n3\n1\n100\n10\n1\n5\n1\n4\n0\n";
  for (const std::string& stream : {large, stalls}) {
    writeFile(scratch / "p", stream);
    writeFile(trace, "an older trace\n");
    writeFile(manifest, "{}\n");
    // ulimit -f counts blocks of 512 bytes: the trace stops at 16 KiB.
    const auto r = runCommand("ulimit -f 32; exec " + generator() + " -p " + q(scratch / "p") +
                                  " -o " + q(trace) + " --manifest " + q(manifest),
                              scratch);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(stream == large ? "File too large" : "cannot progress"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(trace.string() + " is unchanged"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(trace), "an older trace\n");
    EXPECT_EQ(readFile(manifest), "{}\n");
    EXPECT_EQ(namesIn(scratch),
              (std::set<std::string>{"command.err", "command.out", "m", "p", "t"}));
  }
}

// "> FILE" writes through a symbolic link and into a pipe or a device; so
// does -o, where a rename would replace the link, or turn /dev/null into a file.
TEST(TraceFiles, LinksPipesAndDevicesAreWrittenThrough) {
  ScratchDir scratch;
  writeFile(scratch / "p", "3\n2\n6\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n");
  const std::string run = generator() + " 5 -p " + q(scratch / "p");
  const std::string trace = runCommand(run, scratch).out;
  writeFile(scratch / "real", "old\n");
  std::filesystem::create_symlink("real", scratch / "link");
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
  const auto r = runCommand("timeout 20 cat " + q(scratch / "fifo") + " >" + q(scratch / "got") +
                                " & " + run + " -o " + q(scratch / "fifo") + " && " + run + " -o " +
                                q(scratch / "link") + "; status=$?; wait; exit $status",
                            scratch);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(scratch / "got"), trace);
  EXPECT_EQ(readFile(scratch / "real"), trace);
  EXPECT_TRUE(std::filesystem::is_symlink(scratch / "link"));
  EXPECT_TRUE(std::filesystem::is_fifo(scratch / "fifo"));
}

// On standard output a stalled trace is still delivered whole, so its
// manifest is kept and says how the run ended.
TEST(TraceFiles, AStalledRunOnStandardOutputIsRecordedAsStalled) {
  ScratchDir scratch;
  writeFile(scratch / "p", "1\n2\n10\n0\n3\n1\n100\n10\n1\n5\n1\n4\n0\n");
  const auto r = runCommand(
      generator() + " --manifest " + q(scratch / "m") + " <" + q(scratch / "p"), scratch);
  EXPECT_EQ(r.status, 1);
  const JsonValue m = parseJson(readFile(scratch / "m"));
  EXPECT_EQ(m["status"].text, "stalled");
  EXPECT_EQ(m["output"].kind, JsonValue::Kind::null);
  EXPECT_EQ(m["bytes"].integer(), static_cast<long long>(r.out.size()));
  EXPECT_EQ(m["requests"].integer(), 0);
}

TEST(TraceFiles, ManifestStringsSurviveAnyBytes) {
  using namespace std::string_literals;
  const std::string texts[] = {
      "plain/path.trace",
      "quote \" and backslash \\",
      "tab\tnewline\ncr\rnul\0del\x7f"
      "bell\x01\x1f"s,
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
  };
  for (const std::string& text : texts) {
    const std::string json = jsonString(text);
    EXPECT_EQ(parseJson(json).text, text) << json;
  }
  // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form, a
  // surrogate, a code point past U+10FFFF. Each byte becomes U+FFFD.
  const std::string fffd = "\xef\xbf\xbd";
  EXPECT_EQ(parseJson(jsonString("a\x80z")).text, "a" + fffd + "z");
  EXPECT_EQ(parseJson(jsonString("a\xe2\x82")).text, "a" + fffd + fffd);
  EXPECT_EQ(parseJson(jsonString("\xc0\xaf")).text, fffd + fffd);
  EXPECT_EQ(parseJson(jsonString("\xed\xa0\x80")).text, fffd + fffd + fffd);
  EXPECT_EQ(parseJson(jsonString("\xf4\x90\x80\x80")).text, fffd + fffd + fffd + fffd);
}

}  // namespace
}  // namespace grouptrace
