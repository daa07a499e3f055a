#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "group_size_series.h"
#include "grouptrace/types.h"

namespace grouptrace {

// What the picture says besides the series itself.
struct PlotFacts {
  std::string caption;  // what the trace is, usually its file name
  std::vector<NODEID> sources;
  Count joins = 0;
  Count leaves = 0;
  // Requests before the join-leave and the end-of-session markers.
  Count joinLeaveStart = 0;
  Count endStart = 0;
};

// Draws group size over the request sequence as a standalone SVG document: no
// scripts, fonts or styles from elsewhere, so any browser or viewer shows it.
// One line per session when the series holds them, else the band between the
// smallest and largest group with the mean through it; the phases are shaded
// and their boundaries marked.
class SvgPlot {
 public:
  static constexpr int kWidth = 960;
  static constexpr int kHeight = 540;

  SvgPlot(const GroupSizeSeries& series, PlotFacts facts);
  std::string render() const;

 private:
  double x(double step) const;
  double y(double size) const;
  void axes(std::string& out) const;
  void phases(std::string& out) const;
  void data(std::string& out) const;
  void legend(std::string& out) const;

  const GroupSizeSeries& series_;
  PlotFacts facts_;
  Count requests_;
  double xMax_;
  double yMax_;
  double yStep_;
  double xStep_;
};

}  // namespace grouptrace
