#include "inspect_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace grouptrace::testing {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::filesystem::path> goldenTraces() {
  std::vector<std::filesystem::path> traces;
  for (const auto& entry : std::filesystem::directory_iterator(GROUPTRACE_GOLDEN_DIR)) {
    if (entry.path().extension() == ".out") traces.push_back(entry.path());
  }
  std::sort(traces.begin(), traces.end());
  return traces;
}

ScratchDir::ScratchDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "grouptrace-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a scratch directory");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

CommandResult runCommand(const std::string& commandLine, const ScratchDir& scratch) {
  const auto out = scratch / "command.out";
  const auto err = scratch / "command.err";
  const std::string full =
      "(" + commandLine + ") >" + shellQuoted(out.string()) + " 2>" + shellQuoted(err.string());
  const int raw = std::system(full.c_str());
  CommandResult result;
  if (raw != -1 && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  result.out = readFile(out);
  result.err = readFile(err);
  return result;
}

}  // namespace grouptrace::testing
