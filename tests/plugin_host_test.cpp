// Two plugins that each carry a copy of the static library, loaded side by
// side with RTLD_LOCAL and run at the same time: each copy must keep its runs
// to itself and write exactly the program's traces.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "inspect_test_support.h"

namespace {

using TraceEntry = int (*)(const char*, int, char**, std::size_t*);

struct Plugin {
  void* handle = nullptr;
  TraceEntry trace = nullptr;
};

Plugin load(const char* path) {
  Plugin p;
  p.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (p.handle != nullptr) {
    p.trace = reinterpret_cast<TraceEntry>(dlsym(p.handle, "grouptrace_plugin_trace"));
  }
  return p;
}

struct Case {
  std::string params;
  int seed = 0;
  std::string trace;
};

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
  return all;
}

TEST(Plugins, TwoCopiesOfTheLibraryRunTogetherEachWritingTheProgramsTrace) {
  const Plugin a = load(GROUPTRACE_PLUGIN_A);
  const Plugin b = load(GROUPTRACE_PLUGIN_B);
  ASSERT_NE(a.trace, nullptr) << dlerror();
  ASSERT_NE(b.trace, nullptr) << dlerror();
  ASSERT_NE(a.handle, b.handle) << "the two plugins must be two copies";
  const auto all = cases();
  ASSERT_FALSE(all.empty());

  constexpr int kRounds = 20;
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const TraceEntry entry = t % 2 == 0 ? a.trace : b.trace;
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t k = 0; k < all.size(); ++k) {
          const Case& c = all[(k + static_cast<std::size_t>(t + round)) % all.size()];
          char* text = nullptr;
          std::size_t size = 0;
          if (entry(c.params.c_str(), c.seed, &text, &size) != 0 ||
              std::string(text, size) != c.trace) {
            ++wrong[static_cast<std::size_t>(t)];
          }
          std::free(text);
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
