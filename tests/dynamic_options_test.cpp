#include "dynamic/dynamic_options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace grouptrace::dynamic {
namespace {

// The message of the std::invalid_argument `f` throws; a failure if it throws none.
std::string refusal(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  ADD_FAILURE() << "accepted";
  return "";
}

bool mentions(const std::string& message, const std::string& part) {
  return message.find(part) != std::string::npos;
}

TEST(DynamicOptionsParse, ReadsEveryAcceptedForm) {
  auto same = [](const HoldingLaw& a, const HoldingLaw& b) {
    return a.family == b.family && a.first == b.first &&
           (a.family == HoldingFamily::exponential || a.second == b.second);
  };
  EXPECT_TRUE(same(parseHolding("exp:120.5"), {HoldingFamily::exponential, 120.5, 0}));
  EXPECT_TRUE(same(parseHolding("lognormal:-1.5:0.75"), {HoldingFamily::lognormal, -1.5, 0.75}));
  EXPECT_TRUE(same(parseHolding("pareto:30:2.5e0"), {HoldingFamily::pareto, 30, 2.5}));
  EXPECT_EQ(parsePopularity("uniform").alpha, 0);
  EXPECT_EQ(parsePopularity("zipf:1.2").alpha, 1.2);
  auto diurnal = [](std::string_view text) {
    const Diurnal d = parseDiurnal(text);
    return std::vector<double>{d.amplitude, d.period, d.peak};
  };
  EXPECT_EQ(diurnal("0.5"), (std::vector<double>{0.5, 86400, 72000}));
  EXPECT_EQ(diurnal("0:3600"), (std::vector<double>{0, 3600, 72000}));
  EXPECT_EQ(diurnal("0.25:3600:900"), (std::vector<double>{0.25, 3600, 900}));
  EXPECT_EQ(parseStart("empty"), StartState::empty);
  EXPECT_EQ(parseStart("steady"), StartState::steady);
  EXPECT_EQ(parseEnd("open"), EndRule::open);
  EXPECT_EQ(parseEnd("leave"), EndRule::leave);
  EXPECT_EQ(parseDuration("3600"), 3600);
  EXPECT_EQ(parseJoinRate("0.25"), 0.25);
}

TEST(DynamicOptionsParse, RefusesTextsOutsideTheFormsNamingOptionAndForm) {
  struct Case {
    std::function<void()> parse;
    std::string option;
  };
  const Case cases[] = {
      {[] { parseHolding("weibull:1:2"); }, "--holding"},
      {[] { parseHolding("exp"); }, "--holding"},
      {[] { parseHolding("exp:1:2"); }, "--holding"},
      {[] { parseHolding("lognormal:1"); }, "--holding"},
      {[] { parseHolding("exp:10s"); }, "--holding"},
      {[] { parseHolding("exp: 10"); }, "--holding"},
      {[] { parseHolding(""); }, "--holding"},
      {[] { parsePopularity("zipf"); }, "--popularity"},
      {[] { parsePopularity("Uniform"); }, "--popularity"},
      {[] { parseDiurnal("0.5:1:2:3"); }, "--diurnal"},
      {[] { parseDiurnal(":3600"); }, "--diurnal"},
      {[] { parseStart("full"); }, "--start"},
      {[] { parseEnd(""); }, "--end"},
      {[] { parseDuration("1h"); }, "--duration"},
      {[] { parseJoinRate("fast"); }, "--join-rate"},
  };
  for (const Case& c : cases) {
    const std::string message = refusal(c.parse);
    EXPECT_TRUE(mentions(message, c.option)) << message;
    EXPECT_TRUE(mentions(message, "found \"")) << message;
  }
  const std::string message = refusal([] { parseHolding("weibull:1:2"); });
  EXPECT_TRUE(mentions(message, "exp:MEAN, lognormal:MU:SIGMA or pareto:SCALE:SHAPE")) << message;
  EXPECT_TRUE(mentions(refusal([] { parseStart("\x01x"); }), "\\x01x"))
      << "control bytes shown escaped";
}

TEST(DynamicOptionsParse, RefusesValuesTheModelCannotRunWith) {
  struct Case {
    std::function<void()> parse;
    std::string says;
  };
  const Case cases[] = {
      {[] { parseHolding("exp:0"); }, "MEAN must be greater than 0"},
      {[] { parseHolding("exp:-5"); }, "MEAN must be greater than 0"},
      {[] { parseHolding("exp:inf"); }, "MEAN must be finite"},
      {[] { parseHolding("exp:nan"); }, "MEAN must be finite"},
      {[] { parseHolding("lognormal:1:-0.5"); }, "SIGMA must not be negative"},
      {[] { parseHolding("lognormal:800:1"); }, "mean stay"},
      {[] { parseHolding("pareto:10:1"); }, "SHAPE must be greater than 1"},
      {[] { parseHolding("pareto:10:0.5"); }, "SHAPE must be greater than 1"},
      {[] { parseHolding("pareto:0:2"); }, "SCALE must be greater than 0"},
      {[] { parsePopularity("zipf:-1"); }, "ALPHA must not be negative"},
      {[] { parseDiurnal("1"); }, "A must be below 1"},
      {[] { parseDiurnal("-0.1"); }, "A must not be negative"},
      {[] { parseDiurnal("0.5:0"); }, "PERIOD must be greater than 0"},
      {[] { parseDiurnal("0.5:3600:-1"); }, "PEAK must not be negative"},
      {[] { parseDuration("-1"); }, "SECONDS must not be negative"},
      {[] { parseDuration("1e999"); }, "out of range"},
      {[] { parseJoinRate("-0.5"); }, "must not be negative"},
  };
  for (const Case& c : cases) {
    const std::string message = refusal(c.parse);
    EXPECT_TRUE(mentions(message, c.says)) << message;
  }
}

TEST(DynamicOptionsValidate, ChecksOptionsSetInCodeAsTheParsersDo) {
  EXPECT_NO_THROW(validate(DynamicOptions{}));
  auto refused = [](const std::function<void(DynamicOptions&)>& change, const std::string& says) {
    DynamicOptions o;
    change(o);
    const std::string message = refusal([&] { validate(o); });
    EXPECT_TRUE(mentions(message, says)) << message;
  };
  refused([](DynamicOptions& o) { o.duration = std::numeric_limits<double>::infinity(); },
          "--duration");
  refused([](DynamicOptions& o) { o.holding = {HoldingFamily::pareto, 1, 1}; }, "SHAPE");
  refused([](DynamicOptions& o) { o.holding.family = static_cast<HoldingFamily>(7); },
          "unknown holding-time family");
  refused([](DynamicOptions& o) { o.joinRate = std::nan(""); }, "--join-rate");
  refused([](DynamicOptions& o) { o.diurnal.amplitude = 1; }, "--diurnal");
  refused([](DynamicOptions& o) { o.start = static_cast<StartState>(5); }, "--start");
  refused([](DynamicOptions& o) { o.end = static_cast<EndRule>(5); }, "--end");

  Parameters p;
  p.nNodes = 10;
  p.nSessions = 2;
  p.avgSize = 3;
  EXPECT_NO_THROW(validate(p, DynamicOptions{}));
  p.maxTrans = -4;  // ignored, as is currTrans
  p.currTrans = 99;
  EXPECT_NO_THROW(validate(p, DynamicOptions{}));
  Parameters one = p;
  one.nNodes = 1;
  EXPECT_TRUE(mentions(refusal([&] { validate(one, DynamicOptions{}); }), "nNodes"));
  Parameters ordered = p;
  ordered.orderedJoinLeave = 1;
  EXPECT_TRUE(mentions(refusal([&] { validate(ordered, DynamicOptions{}); }), "orderedJoinLeave"));
  Parameters negative = p;
  negative.avgSize = -1;
  EXPECT_TRUE(mentions(refusal([&] { validate(negative, DynamicOptions{}); }), "avgSize"));
  DynamicOptions rate;
  rate.joinRate = 2;
  EXPECT_NO_THROW(validate(negative, rate)) << "avgSize does not matter with a join rate";
}

}  // namespace
}  // namespace grouptrace::dynamic
