// grouptrace-ns3-study run as a program, on networks small enough for
// seconds: the streams must reach the admitted members, only while they are
// members and along the admitted paths, and a run must repeat exactly.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kStudy = GROUPTRACE_NS3_STUDY;
const std::string kGolden = GROUPTRACE_GOLDEN_DIR;

struct Outcome {
  int status;
  std::string out;  // standard output and error
};

Outcome Study(const std::string& args) {
  std::string command = kStudy + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  Outcome run{-1, ""};
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Dir() {
  return ::testing::TempDir();
}

std::string Write(const std::string& name, const std::string& text) {
  std::string path = Dir() + "/" + name;
  std::ofstream(path) << text;
  return path;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::vector<std::string>> Csv(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(Slurp(path));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> row;
    std::string field;
    std::istringstream fields(line);
    while (std::getline(fields, field, ',')) row.push_back(field);
    if (!line.empty() && line.back() == ',') row.push_back("");
    rows.push_back(row);
  }
  return rows;
}

// The number after `label` in the summary.
double Summary(const std::string& out, const std::string& label) {
  size_t at = out.find("\n" + label + " ");
  if (at == std::string::npos) return -1;
  return std::stod(out.substr(at + label.size() + 2));
}

// 12 nodes, 3 sessions, random mode; bands of 64 to 512 kbit/s against links
// of 800, so that some joins are blocked.
std::string Params() {
  return Write("study.params", "12\n3\n60\n0\n4\n1\n512\n64\n5\n50\n1\n6\n0\n");
}

std::string Scenario(const std::string& routing, const std::string& tag) {
  return "--params=" + Params() + " --seed=5 --capacity=800 --interval=0.5 --poisson=1" +
         " --packetInterval=20 --routing=" + routing + " --csv=" + Dir() + "/" + tag +
         ".csv --packets=" + Dir() + "/" + tag + ".packets";
}

class StudyRouting : public ::testing::TestWithParam<const char*> {};

TEST_P(StudyRouting, StreamsReachTheAdmittedMembersOnlyWhileTheyAreMembers) {
  std::string tag = std::string("deliver-") + GetParam();
  Outcome run = Study(Scenario(GetParam(), tag) + " --RngRun=2");
  ASSERT_EQ(run.status, 0) << run.out;

  struct Membership {
    double start, end, pathDelay;
    int received = 0;
  };
  std::map<std::pair<int, int>, std::vector<Membership>> memberships;  // (node, session)
  int joins = 0, admitted = 0, blocked = 0;
  double last = 0;
  for (const auto& row : Csv(Dir() + "/" + tag + ".csv")) {
    ASSERT_EQ(row.size(), 13u);
    double time = std::stod(row[0]);
    std::pair<int, int> key{std::stoi(row[3]), std::stoi(row[4])};
    last = time;
    if (row[2] == "join") {
      ++joins;
      if (row[8] == "admitted") {
        ++admitted;
        memberships[key].push_back(
            {time, std::numeric_limits<double>::infinity(), std::stod(row[11]) / 1000});
      } else {
        ASSERT_EQ(row[8], "blocked");
        ++blocked;
      }
    } else if (row[8] == "left") {
      ASSERT_FALSE(memberships[key].empty());
      memberships[key].back().end = time;
    }
  }
  EXPECT_EQ(admitted + blocked, joins);
  EXPECT_EQ(Summary(run.out, "admitted"), admitted);
  EXPECT_EQ(Summary(run.out, "blocked"), blocked);
  EXPECT_GT(admitted, 10) << run.out;
  EXPECT_GT(blocked, 0) << "the scenario must block some joins";

  // Every packet a node received falls in one of its memberships of that
  // session and took at least the admitted path's delay, and not much more:
  // the stream followed the tree.
  int packets = 0, outside = 0, offPath = 0;
  for (const auto& row : Csv(Dir() + "/" + tag + ".packets")) {
    ++packets;
    double time = std::stod(row[0]);
    double latency = time - std::stod(row[4]);
    Membership* in = nullptr;
    for (Membership& m : memberships[{std::stoi(row[1]), std::stoi(row[2])}]) {
      if (m.start <= time && time <= m.end) in = &m;
    }
    if (!in) {
      ++outside;
      continue;
    }
    ++in->received;
    if (latency < in->pathDelay - 1e-9 || latency > in->pathDelay + 0.05) ++offPath;
  }
  EXPECT_EQ(outside, 0);
  EXPECT_EQ(offPath, 0);
  EXPECT_EQ(Summary(run.out, "packets delivered to members"), packets);
  EXPECT_EQ(Summary(run.out, "packets delivered to non-members"), 0);
  EXPECT_EQ(Summary(run.out, "packets forwarded off the trees"), 0);

  // A member hears the stream for all its membership but the first path delay:
  // one packet every 20 ms. The run ends a second after the last request.
  int checked = 0;
  for (auto& [key, list] : memberships) {
    for (const Membership& m : list) {
      double end = std::min(m.end, last + 1);
      double expected = (end - m.start - m.pathDelay) / 0.020;
      EXPECT_GE(m.received, expected - 2) << "node " << key.first << " session " << key.second;
      EXPECT_LE(m.received, expected + 2) << "node " << key.first << " session " << key.second;
      ++checked;
    }
  }
  EXPECT_EQ(checked, admitted);
}

INSTANTIATE_TEST_SUITE_P(Study, StudyRouting, ::testing::Values("delay", "hops"));

TEST(Study, TheSameRunRepeatsAndAnotherRunDiffers) {
  ASSERT_EQ(Study(Scenario("delay", "a") + " --RngRun=3").status, 0);
  ASSERT_EQ(Study(Scenario("delay", "b") + " --RngRun=3").status, 0);
  ASSERT_EQ(Study(Scenario("delay", "c") + " --RngRun=4").status, 0);
  std::string a = Slurp(Dir() + "/a.csv");
  EXPECT_GT(a.size(), 1000u);
  EXPECT_EQ(a, Slurp(Dir() + "/b.csv"));
  EXPECT_EQ(Slurp(Dir() + "/a.packets"), Slurp(Dir() + "/b.packets"));
  EXPECT_NE(a, Slurp(Dir() + "/c.csv"));
}

TEST(Study, ReadsATopologyFileAndRefusesOneTooSmall) {
  // Inet: node and link counts, the nodes with coordinates, the links.
  std::string ring = Write("ring.inet",
                           "6 7\n0 0 0\n1 1 0\n2 2 0\n3 2 1\n4 1 1\n5 0 1\n"
                           "0 1 1\n1 2 1\n2 3 1\n3 4 1\n4 5 1\n5 0 1\n0 3 1\n");
  Outcome fits = Study("--trace=" + kGolden + "/000.out --topology=" + ring + " --stream=0");
  ASSERT_EQ(fits.status, 0) << fits.out;
  EXPECT_NE(fits.out.find("network 6 nodes, 7 links"), std::string::npos) << fits.out;
  EXPECT_EQ(Summary(fits.out, "admitted") + Summary(fits.out, "blocked"), 4);

  Outcome small = Study("--trace=" + kGolden + "/009.out --topology=" + ring);
  EXPECT_NE(small.status, 0);
  EXPECT_NE(small.out.find("the trace needs 40 nodes"), std::string::npos) << small.out;

  Outcome unknown = Study("--trace=" + kGolden + "/000.out --routing=fastest");
  EXPECT_NE(unknown.status, 0);
  EXPECT_NE(unknown.out.find("unknown routing fastest"), std::string::npos) << unknown.out;
}

}  // namespace
