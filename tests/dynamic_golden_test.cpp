// The stored timed traces: the program and the library each give them byte
// for byte, on every platform the tests run on.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "dynamic/dynamic_options.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "inspect_test_support.h"

namespace grouptrace {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScratchDir;
using testing::shellQuoted;

std::filesystem::path storedDir() {
  return std::filesystem::path(GROUPTRACE_GOLDEN_DIR) / "dynamic";
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The run the stored arguments describe, built as a C++ caller builds it.
RunConfig configOf(const std::vector<std::string>& args, const std::string& stream) {
  RunConfig config;
  config.parameters = parseParameters(stream);
  dynamic::DynamicOptions options;
  config.format = TraceFormat::csv;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    const std::string& name = args[i];
    const std::string& value = args[i + 1];
    if (name == "-s") {
      config.seed = std::stoi(value);
    } else if (name == "--format") {
      config.format = *parseTraceFormat(value);
    } else if (name == "--model") {
      options.model =
          value == "dynamic" ? dynamic::kNewestModel : *dynamic::parseModelVersion(value);
    } else {
      bool known = false;
      for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
        if (name == entry.option) {
          entry.apply(options, value);
          known = true;
        }
      }
      EXPECT_TRUE(known) << name;
    }
  }
  config.dynamic = options;
  return config;
}

TEST(DynamicGolden, ProgramAndLibraryGiveTheStoredTraces) {
  int cases = 0;
  for (const auto& entry : std::filesystem::directory_iterator(storedDir())) {
    if (entry.path().extension() != ".out") continue;
    auto base = entry.path();
    base.replace_extension();
    SCOPED_TRACE(base.filename().string());
    const std::string expected = readFile(entry.path());
    std::string args = readFile(base.string() + ".args");
    args.erase(args.find_last_not_of(" \n") + 1);
    const std::string stream = readFile(base.string() + ".params");

    ScratchDir scratch;
    const auto r = runCommand(testing::launched(GROUPTRACE_BINARY) + " " + args + " < " +
                                  shellQuoted(base.string() + ".params"),
                              scratch);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expected) << "the program's trace differs";

    StringSink sink;
    const RunResult result = writeTrace(configOf(words(args), stream), sink);
    EXPECT_TRUE(sink.text() == expected) << "the library's trace differs";
    EXPECT_EQ(result.trans, result.joins + result.leaves);
    ++cases;
  }
  EXPECT_GE(cases, 3);
}

}  // namespace
}  // namespace grouptrace
