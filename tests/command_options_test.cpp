#include "command_options.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "grouptrace/file_source.h"
#include "grouptrace/parameters.h"
#include "parameters/parameter_stream.h"
#include "parameters/parameter_table.h"
#include "seed_argument.h"
#include "test_support.h"

namespace grouptrace {
namespace {

using testing::ProcessResult;
using testing::runGrouptrace;

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Parameters streamParameters(const std::filesystem::path& path) {
  FileSource in(path.string());
  myIO io(in);
  return readParameters(io);
}

const std::string kExample = "3\n2\n6\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n";

// Every stored case again, its 13 values and seed given by name only, in both
// spellings of a value; the input would be refused if it were read.
TEST(CommandOptions, NamedParametersGiveTheStoredTracesWithoutReadingInput) {
  int cases = 0;
  for (const auto& entry : std::filesystem::directory_iterator(GROUPTRACE_GOLDEN_DIR)) {
    if (entry.path().extension() != ".params") continue;
    auto base = entry.path();
    base.replace_extension();
    const Parameters p = streamParameters(entry.path());
    std::vector<std::string> args;
    for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
      const std::string option(kParameterTable[i].option),
          value = std::to_string(parameterAt(p, i));
      if ((i + cases) % 2 == 0) {
        args.push_back(option + "=" + value);
      } else {
        args.insert(args.end(), {option, value});
      }
    }
    if (std::filesystem::exists(base.string() + ".args")) {
      const std::string seed =
          std::to_string(*parseSeedArgument(fileText(base.string() + ".args").c_str()));
      args.insert(args.end(), {cases % 2 == 0 ? "--seed" : "-s", seed});
    }
    const ProcessResult r = runGrouptrace(args, "not a parameter stream\n");
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == fileText(base.string() + ".out")) << "the trace differs";
    ++cases;
  }
  EXPECT_GE(cases, 12);
}

TEST(CommandOptions, OptionsOverrideTheStreamAndTheResolvedValuesAreChecked) {
  const std::string longer = "3\n2\n20\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n";
  EXPECT_EQ(runGrouptrace({"--max-trans", "20"}, kExample).out, runGrouptrace({}, longer).out);
  // nNodes 0 in the stream is replaced before the scenario is checked.
  std::string noNodes = kExample;
  noNodes[0] = '0';
  const ProcessResult r = runGrouptrace({"--nodes", "3"}, noNodes);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, runGrouptrace({}, kExample).out);
  // The stream still has to be whole.
  const ProcessResult cut = runGrouptrace({"--nodes", "3"}, "3\n2\n");
  EXPECT_EQ(cut.exitStatus, 2);
  EXPECT_EQ(cut.err.rfind("grouptrace: line 3, value 3 (maxTrans)", 0), 0u) << cut.err;
}

TEST(CommandOptions, ArgumentsThatAreNotOptionsStayTheAtoiSeed) {
  const auto trace = [](std::vector<std::string> args) {
    const ProcessResult r = runGrouptrace(args, kExample);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(trace({"-7"}), trace({"--seed", "-7"}));
  EXPECT_EQ(trace({"12abc"}), trace({"-s", "12"}));
  EXPECT_EQ(trace({"xyz"}), trace({"--seed=0"}));
  EXPECT_EQ(trace({"--", "-7", "--help"}), trace({"--seed=-7"}));
  EXPECT_EQ(trace({"--max-trans", "6", "42", "ignored"}), trace({"--seed", "42"}));
  EXPECT_NE(trace({"-7"}), trace({"7"}));
}

TEST(CommandOptions, HelpAndVersionWinWhereverTheyStand) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"42", "--help"}, {"--hlep", "-h"}, {"--seed", "x", "--help"}}) {
    const ProcessResult r = runGrouptrace(args, "");
    EXPECT_EQ(r.exitStatus, 0) << args[0];
    EXPECT_EQ(r.err, "");
    for (const ParameterEntry& entry : kParameterTable) {
      EXPECT_NE(r.out.find(entry.option), std::string::npos) << entry.option;
    }
  }
  const ProcessResult v = runGrouptrace({"--bogus", "--version"}, "");
  EXPECT_EQ(v.exitStatus, 0);
  EXPECT_EQ(v.out.rfind("grouptrace ", 0), 0u);
}

TEST(CommandOptions, MistakesAreRefusedWithOneLineAndNoOutput) {
  const std::string missing = std::filesystem::temp_directory_path() / "no-such-dir" / "t";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--seed"}, "option --seed needs a value"},
      {{"-s"}, "option -s needs a value"},
      {{"--seed", "abc"}, "--seed: expected a whole number for the seed, found \"abc\""},
      {{"--seed=12abc"}, "found \"12abc\""},
      {{"--seed", "2147483648"}, "outside the signed 32-bit range"},
      {{"--seed", "3", "4"}, "the seed is given twice (\"3\" and \"4\")"},
      {{"3", "-s", "4"}, "the seed is given twice"},
      {{"--hlep"}, "unknown option \"--hlep\"; did you mean --help?"},
      {{"--sed", "4"}, "did you mean --seed?"},
      {{"-seed", "4"}, "did you mean --seed?"},
      {{"--max-tran=5"}, "unknown option \"--max-tran\"; did you mean --max-trans?"},
      {{"42", "-x"}, "unknown option \"-x\" (see grouptrace --help)"},
      {{"-output", "t"}, "did you mean --output?"},
      {{"-o", "--seed", "4"}, "option -o needs a value, found the option \"--seed\""},
      {{"-o", ""}, "-o: the file name is empty"},
      {{"--format", "xml"}, "unknown --format \"xml\": expected trace, csv or jsonl"},
      {{"--print-params=yes"}, "option --print-params takes no value"},
      {{"--nodes", "x"}, "--nodes (nNodes): expected a number, found \"x\""},
      {{"--nodes", "12abc"}, "--nodes (nNodes): expected a number, found \"12abc\""},
      {{"--nodes", ""}, "--nodes (nNodes): expected a number, found nothing"},
      {{"--min-band", "3e9"}, "--min-band (minBand): 3e9 is outside the signed 32-bit range"},
      {{"--sessions", "0.9"}, "--sessions (nSessions): a scenario needs at least 1 session, got 0"},
      {{"-p", missing}, "cannot read the parameters from " + missing + ": No such file"},
      {{"-o", missing}, "cannot create a file in"},
      {{"-o", "/"}, "cannot write /: Is a directory"},
      {{"-o", missing, "--manifest", missing + "/../t"}, "the same file"},
      {{"--print-params", "--manifest", missing}, "--print-params does not run one"},
  };
  for (const auto& [args, message] : cases) {
    const ProcessResult r = runGrouptrace(args, kExample);
    EXPECT_EQ(r.exitStatus, 2) << args[0] << " " << r.err;
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_EQ(r.err.rfind("grouptrace: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
}

TEST(CommandOptions, MissingParametersAreListedWhenThereIsNoStream) {
  const ProcessResult r = runGrouptrace({"--nodes", "3", "--max-trans=9"}, "");
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("--sessions (nSessions), --curr-trans (currTrans)"), std::string::npos);
  EXPECT_NE(r.err.find("--ordered (orderedJoinLeave)"), std::string::npos);
  EXPECT_EQ(r.err.find("--nodes ("), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("--max-trans ("), std::string::npos) << r.err;
}

TEST(CommandOptions, PrintedParametersGiveTheSameTraceWhenFedBack) {
  const ProcessResult printed =
      runGrouptrace({"--print-params", "--max-trans", "40", "--min-delay=-3"}, kExample);
  EXPECT_EQ(printed.exitStatus, 0);
  const auto lines = testing::splitLines(printed.out);
  ASSERT_EQ(lines.size(), 13u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].ends_with(kParameterNames[i])) << lines[i];
  }
  const ProcessResult fed = runGrouptrace({"9"}, printed.out);
  EXPECT_EQ(fed.exitStatus, 0);
  EXPECT_EQ(fed.out, runGrouptrace({"9", "--max-trans", "40", "--min-delay", "-3"}, kExample).out);
}

// The program reads its stream from a terminal; the test types it.
TEST(CommandOptions, ATerminalOnStandardInputGetsAHint) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const std::string side = ptsname(terminal);
  char errPath[] = "/tmp/grouptrace-hint-XXXXXX";
  const int err = mkstemp(errPath);
  char outPath[] = "/tmp/grouptrace-hint-out-XXXXXX";
  const int out = mkstemp(outPath);

  std::string launcher = GROUPTRACE_LAUNCHER, program = GROUPTRACE_BINARY, seed = "5";
  std::vector<char*> argv;
  if (!launcher.empty()) argv.push_back(launcher.data());
  argv.insert(argv.end(), {program.data(), seed.data(), nullptr});
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int in = open(side.c_str(), O_RDWR);
    if (in < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    alarm(60);  // a program that never stops reading fails the test instead of hanging it
    execv(argv[0], argv.data());
    _exit(127);
  }
  ASSERT_EQ(write(terminal, kExample.data(), kExample.size()),
            static_cast<ssize_t>(kExample.size()));
  int status = 0;
  waitpid(pid, &status, 0);
  close(terminal);
  close(err);
  close(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string message = fileText(errPath);
  EXPECT_EQ(message.rfind("grouptrace: reading the 13 parameter values from the terminal", 0), 0u)
      << message;
  EXPECT_NE(message.find("Ctrl-D"), std::string::npos);
  EXPECT_EQ(fileText(outPath), runGrouptrace({"5"}, kExample).out);
  std::remove(errPath);
  std::remove(outPath);
}

}  // namespace
}  // namespace grouptrace
