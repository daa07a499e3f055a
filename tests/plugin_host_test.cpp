// Two plugins that each carry a copy of the static library, loaded side by
// side with RTLD_LOCAL and run at the same time: each copy must keep its runs
// to itself and write exactly the program's traces.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "grouptrace/dynamic_model.h"
#include "inspect_test_support.h"

namespace {

using grouptrace::dynamic::DynamicOptions;
using TraceEntry = int (*)(const char*, int, char**, std::size_t*);
using TimedEntry = int (*)(const char*, int, const DynamicOptions*, const char*, char**,
                           std::size_t*);

struct Plugin {
  void* handle = nullptr;
  TraceEntry trace = nullptr;
  TimedEntry timed = nullptr;
};

Plugin load(const char* path) {
  Plugin p;
  p.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (p.handle != nullptr) {
    p.trace = reinterpret_cast<TraceEntry>(dlsym(p.handle, "grouptrace_plugin_trace"));
    p.timed = reinterpret_cast<TimedEntry>(dlsym(p.handle, "grouptrace_plugin_timed_trace"));
  }
  return p;
}

struct Case {
  std::string params;
  int seed = 0;
  std::string trace;
  // A run of the timed model, written in `format`.
  std::optional<DynamicOptions> timed = {};
  std::string format = {};
};

// Whether the plugin writes the case's trace.
bool writes(const Plugin& plugin, const Case& c) {
  char* text = nullptr;
  std::size_t size = 0;
  const int status =
      c.timed ? plugin.timed(c.params.c_str(), c.seed, &*c.timed, c.format.c_str(), &text, &size)
              : plugin.trace(c.params.c_str(), c.seed, &text, &size);
  const bool same = status == 0 && std::string(text, size) == c.trace;
  std::free(text);
  return same;
}

// Two stored timed traces of the newest model, with the options their .args
// files give: its steady start, each holding law but one, the daily rhythm.
void addTimedCases(std::vector<Case>& all) {
  namespace d = grouptrace::dynamic;
  DynamicOptions lognormal;
  lognormal.duration = 7200;
  lognormal.holding = {d::HoldingFamily::lognormal, 6.5, 1};
  lognormal.popularity.alpha = 0.8;
  lognormal.diurnal = {0.9, 7200, 0};
  DynamicOptions pareto;
  pareto.duration = 600;
  pareto.holding = {d::HoldingFamily::pareto, 20, 1.7};
  pareto.joinRate = 40;
  pareto.diurnal = {0.5, 300, 150};
  const std::filesystem::path dir = std::filesystem::path(GROUPTRACE_GOLDEN_DIR) / "dynamic";
  using grouptrace::testing::readFile;
  all.push_back({readFile(dir / "d003.params"), 5, readFile(dir / "d003.out"), lognormal, "csv"});
  all.push_back({readFile(dir / "d004.params"), -19, readFile(dir / "d004.out"), pareto, "jsonl"});
}

std::vector<Case> cases() {
  std::vector<Case> all;
  for (const auto& out : grouptrace::testing::goldenTraces()) {
    auto path = out;
    Case c;
    c.params = grouptrace::testing::readFile(path.replace_extension(".params"));
    if (std::filesystem::exists(path.replace_extension(".args"))) {
      c.seed = std::atoi(grouptrace::testing::readFile(path).c_str());
    }
    c.trace = grouptrace::testing::readFile(out);
    all.push_back(std::move(c));
  }
  addTimedCases(all);
  return all;
}

TEST(Plugins, TwoCopiesOfTheLibraryRunTogetherEachWritingTheProgramsTrace) {
  const Plugin a = load(GROUPTRACE_PLUGIN_A);
  const Plugin b = load(GROUPTRACE_PLUGIN_B);
  ASSERT_NE(a.trace, nullptr) << dlerror();
  ASSERT_NE(b.trace, nullptr) << dlerror();
  ASSERT_NE(a.timed, nullptr) << dlerror();
  ASSERT_NE(b.timed, nullptr) << dlerror();
  ASSERT_NE(a.handle, b.handle) << "the two plugins must be two copies";
  const auto all = cases();
  ASSERT_FALSE(all.empty());

  constexpr int kRounds = 20;
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Plugin& plugin = t % 2 == 0 ? a : b;
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t k = 0; k < all.size(); ++k) {
          const Case& c = all[(k + static_cast<std::size_t>(t + round)) % all.size()];
          if (!writes(plugin, c)) ++wrong[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[static_cast<std::size_t>(t)], 0) << "thread " << t;
  dlclose(a.handle);
  dlclose(b.handle);
}

}  // namespace
