// grouptrace_dynamic_figures: what it writes must open in any SVG viewer, carry
// what each figure needs (axes, legend, caption, data), agree with the laws it
// claims to show, and be the very bytes docs/ keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "inspect_test_support.h"
#include "xml_well_formed.h"

namespace grouptrace::testing {
namespace {

const std::vector<std::string> kFigures = {"dynamic-holding.svg", "dynamic-popularity.svg",
                                           "dynamic-size.svg", "dynamic-diurnal.svg",
                                           "dynamic-start.svg"};

// The program's command line with its arguments. Built by appending: GCC 12
// warns wrongly about a copy in `" " + std::string`.
std::string figuresCommand(const std::vector<std::string>& arguments) {
  std::string command = GROUPTRACE_LAUNCHER;
  if (!command.empty()) command = shellQuoted(command) + ' ';
  command += shellQuoted(GROUPTRACE_FIGURES_BINARY);
  for (const std::string& a : arguments) {
    command += ' ';
    command += shellQuoted(a);
  }
  return command;
}

// Every match of `pattern`'s first group in `text`.
std::vector<std::string> captures(const std::string& text, const std::string& pattern) {
  std::vector<std::string> out;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    out.push_back((*it)[1].str());
  }
  return out;
}

double number(std::string text) {
  std::erase(text, ',');
  return std::stod(text);
}

class DynamicFigures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new ScratchDir;
    run_ = runCommand(figuresCommand({(scratch_->path() / "out").string()}), *scratch_);
  }
  static void TearDownTestSuite() { delete scratch_; }
  static std::string figure(const std::string& name) {
    return readFile(scratch_->path() / "out" / name);
  }

  static ScratchDir* scratch_;
  static CommandResult run_;
};

ScratchDir* DynamicFigures::scratch_ = nullptr;
CommandResult DynamicFigures::run_;

TEST_F(DynamicFigures, WritesEachFigureAsWellFormedSvg) {
  ASSERT_EQ(run_.status, 0) << run_.err;
  for (const std::string& name : kFigures) {
    SCOPED_TRACE(name);
    const std::string svg = figure(name);
    EXPECT_EQ(xmlProblem(svg), "");
    EXPECT_EQ(svg.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg ", 0), 0u);
    EXPECT_NE(svg.find("xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(svg.find(" viewBox=\"0 0 "), std::string::npos);
    EXPECT_EQ(captures(svg, "<title>([^<]+)</title>").size(), 1u);
    // No number came out as a NaN or an infinity.
    EXPECT_TRUE(captures(svg, "[^a-z](-?(nan|inf))[^a-z]").empty());
    // A caption that says the configuration.
    EXPECT_EQ(captures(svg, ">(Seeds? [0-9][^<]*)</text>").size(), 1u);
  }
}

TEST_F(DynamicFigures, EachFigureHasItsAxesLegendAndData) {
  ASSERT_EQ(run_.status, 0) << run_.err;
  struct Expected {
    std::string name;
    std::vector<std::string> texts;  // axis labels with units and legend entries
    std::size_t lines;               // data polylines at least
  };
  const std::vector<Expected> expected = {
      {"dynamic-holding.svg",
       {">stay x (s)<", ">fraction of stays ≤ x<", ">configured CDF F<", ">empirical CDF<"},
       9},
      {"dynamic-popularity.svg",
       {">popularity rank s + 1 (session s)<", ">share of all joins<",
        ">measured share of joins, ± 2 standard errors<"},
       1},
      {"dynamic-size.svg",
       {">time since the start (h)<", ">members besides the source<",
        ">configured mean λ p_s E[H]<"},
       2},
      {"dynamic-diurnal.svg",
       {">time since the start (h)<", ">joins per hour<", ">joins in each hour of the run<",
        ">base rate λ × 3600 (A = 0)<"},
       1},
      {"dynamic-start.svg",
       {">time since the start (h)<", ">mean members besides the source<",
        ">dynamic-2, mean over the 50 sessions<", ">dynamic-1, the same options and seed<"},
       3},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    const std::string svg = figure(e.name);
    for (const std::string& text : e.texts) EXPECT_NE(svg.find(text), std::string::npos) << text;
    // Each polyline must draw something: an empty plot has no points or one.
    const auto lines = captures(svg, "<polyline [^>]*points=\"([^\"]*)\"");
    EXPECT_GE(lines.size(), e.lines);
    for (const std::string& points : lines) {
      EXPECT_GE(captures(points, "([-0-9.]+,[-0-9.]+)").size(), 10u);
    }
  }
}

TEST_F(DynamicFigures, PrintedStatisticsAgreeWithTheConfiguredLaws) {
  ASSERT_EQ(run_.status, 0) << run_.err;
  const std::string holding = figure("dynamic-holding.svg");
  const auto d = captures(holding, "KS distance D = ([0-9.]+)<");
  const auto n = captures(holding, ">n = ([0-9,]+) joins<");
  ASSERT_EQ(d.size(), 3u);
  ASSERT_EQ(n.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_GT(number(n[i]), 5000);
    EXPECT_LT(number(d[i]), 1.95 / std::sqrt(number(n[i]))) << "panel " << i;
  }

  const auto chiPopularity = captures(figure("dynamic-popularity.svg"), "χ² = ([0-9.]+) ");
  ASSERT_EQ(chiPopularity.size(), 1u);
  EXPECT_LT(number(chiPopularity[0]), 43.82);  // 19 degrees of freedom, 0.1%

  const auto chiDaily = captures(figure("dynamic-diurnal.svg"), "χ² = ([0-9.]+) ");
  ASSERT_EQ(chiDaily.size(), 1u);
  EXPECT_LT(number(chiDaily[0]), 114.84);  // 72 degrees of freedom, 0.1%

  const std::string size = figure("dynamic-size.svg");
  const auto configured = captures(size, "configured (?:mean )?([0-9.]+), time average");
  const auto average = captures(size, "time average ([0-9.]+) ");
  const auto error = captures(size, "standard error [^)]* ([0-9.]+)\\)");
  ASSERT_EQ(configured.size(), 2u);
  ASSERT_EQ(average.size(), 2u);
  ASSERT_EQ(error.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_GT(number(error[i]), 0);
    EXPECT_NEAR(number(average[i]), number(configured[i]), 4 * number(error[i])) << i;
  }

  // The mean of 50 Poisson sizes at 0 under the rhythm's state, and dynamic-1's
  // start at the average of 200, far below.
  const std::string start = figure("dynamic-start.svg");
  // 200 (1 + 0.9 / (1 + (2 pi 1800 / 86400)^2)), the closed form of the notes.
  const std::regex numbers(
      "expected m\\(0\\) = ([0-9.]+); dynamic-2 ([0-9.]+), dynamic-1 ([0-9.]+)<");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(start, match, numbers));
  const double expected = number(match[1]), second = number(match[2]), first = number(match[3]);
  EXPECT_NEAR(expected, 376.97, 0.05);
  EXPECT_NEAR(second, expected, 4 * std::sqrt(expected / 50));
  EXPECT_NEAR(first, 200, 4 * std::sqrt(200.0 / 50));
}

TEST_F(DynamicFigures, WritesTheSameBytesOnEveryRunAsDocsKeeps) {
  ASSERT_EQ(run_.status, 0) << run_.err;
  const ScratchDir again;
  const CommandResult second = runCommand(figuresCommand({(again.path() / "out").string()}), again);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out, run_.out);
  for (const std::string& name : kFigures) {
    SCOPED_TRACE(name);
    const std::string first = figure(name);
    EXPECT_TRUE(first == readFile(again.path() / "out" / name));
    // Regenerate docs/ with `grouptrace_dynamic_figures docs` after a change
    // that is meant to alter the figures.
    EXPECT_TRUE(first == readFile(std::filesystem::path(GROUPTRACE_DOCS_DIR) / name));
  }
}

TEST(DynamicFiguresCommand, RefusesToRunWithoutItsFolder) {
  const ScratchDir scratch;
  const CommandResult run = runCommand(figuresCommand({}), scratch);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("usage: "), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace grouptrace::testing
