#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "group_size_series.h"
#include "grouptrace/types.h"

namespace grouptrace {

// What the picture says besides the series itself.
struct PlotFacts {
  std::string caption;  // what the trace is, usually its file name; any bytes
  std::vector<NODEID> sources;
  Count joins = 0;
  Count leaves = 0;
  // Requests before the join-leave and the end-of-session markers.
  Count joinLeaveStart = 0;
  Count endStart = 0;
  // A timed trace is drawn against time from 0 to `duration` seconds.
  bool timed = false;
  double duration = 0;
  // Several traces compared: each line's name, and no phases (each trace has
  // its own); empty for one trace.
  std::vector<std::string> lineLabels;
};

// How the picture is to look.
struct PlotStyle {
  static constexpr const char* kDefaultTitle = "Group size over the request sequence";
  // The default heading of a timed trace's picture.
  static constexpr const char* kTimedTitle = "Group size over time";
  static constexpr int kDefaultWidth = 960;
  static constexpr int kDefaultHeight = 540;
  static constexpr int kMinWidth = 320;
  static constexpr int kMaxWidth = 4000;
  static constexpr int kMinHeight = 180;
  static constexpr int kMaxHeight = 4000;

  std::string title = kDefaultTitle;  // any bytes; empty: no heading
  int width = kDefaultWidth;
  int height = kDefaultHeight;
  // The line under the heading (the trace's name and counts), and the note
  // under the legend on how many requests a step spans: a figure for a paper
  // may say both in its caption instead.
  bool subtitle = true;
  bool footnote = true;
};

// Draws group size over the request sequence as a standalone SVG document: no
// scripts, fonts or styles from elsewhere, so any browser or viewer shows it.
// One line per session when the series holds them, each with its own colour,
// dash pattern and marker, else the band between the smallest and largest
// group with the mean through it; the phases are shaded and named above the
// plot. Text is sized as a fraction of the picture, so that it stays readable
// when the picture is shrunk to the width of a paper's column.
class SvgPlot {
 public:
  // At most this many sessions get a dash pattern and marker of their own.
  static constexpr std::size_t kLineStyles = 8;

  SvgPlot(const GroupSizeSeries& series, PlotFacts facts, PlotStyle style = {});
  std::string render() const;

 private:
  struct LegendItem {
    int swatch;  // -1: none (a note), -2: the band, -3: the mean, else a session's line
    std::string label;
    double x = 0;
    double baseline = 0;
  };

  void layOut();
  double x(double step) const;
  // Where bucket b begins and ends on the horizontal axis, in its units.
  double bucketStart(std::size_t b) const;
  double bucketEnd(std::size_t b) const;
  double y(double size) const;
  void heading(std::string& out) const;
  void phaseShading(std::string& out) const;
  void phaseLabels(std::string& out) const;
  void grid(std::string& out) const;
  void axes(std::string& out) const;
  void data(std::string& out) const;
  void sessionLine(std::string& out, std::size_t session, const std::string& points,
                   const std::vector<std::pair<double, double>>& marks) const;
  void legend(std::string& out) const;

  const GroupSizeSeries& series_;
  PlotFacts facts_;
  PlotStyle style_;
  Count requests_;
  double xMax_;
  // Seconds per unit of the horizontal axis of a timed trace: hours for a run
  // of three hours and more.
  double timeUnit_ = 1;

  // Layout, in the picture's own units.
  double font_;                                         // every small text; the heading is larger
  double line_;                                         // width of a data line
  double left_ = 0, right_ = 0, top_ = 0, bottom_ = 0;  // the plot area
  double titleBaseline_ = 0, subtitleBaseline_ = 0, phaseBaseline_ = 0, bracket_ = 0;
  double tickBaseline_ = 0, xTitleBaseline_ = 0;
  double yMax_ = 1, yStep_ = 1, xStep_ = 1;
  std::vector<LegendItem> legend_;
};

}  // namespace grouptrace
