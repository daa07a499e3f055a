// grouptrace-ns3-study run as a program on one small network of its own and a
// hand-written trace: what the controller admits, the simulation must deliver
// (to the members only, along the trees, within their bounds, at the rates
// reserved), for every routing; and what the program refuses, it refuses with
// one line, its status and nothing left on disk.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kStudy = GROUPTRACE_NS3_STUDY;

struct Outcome {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs a shell command line and keeps what it printed on each stream.
Outcome Shell(const std::string& command) {
  // Tests run side by side, each in a process of its own.
  static int calls = 0;
  const std::string err = ::testing::TempDir() + "/study-" + std::to_string(getpid()) + "-" +
                          std::to_string(++calls) + ".stderr";
  FILE* pipe = popen((command + " 2>" + err).c_str(), "r");
  Outcome run{-1, "", ""};
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.err = Slurp(err);
  std::remove(err.c_str());
  return run;
}

// A run that hangs is killed, and fails its case with status 137.
Outcome Study(const std::string& args) {
  return Shell("timeout -s KILL 120 " + kStudy + " " + args);
}

// A folder of this process's own: runs of these tests side by side (two
// builds, a mutation run) must not see each other's files.
std::string Dir(const std::string& name) {
  std::string dir = ::testing::TempDir() + "/study-" + std::to_string(getpid()) + "-" + name;
  Shell("rm -rf " + dir + " && mkdir -p " + dir);
  return dir;
}

std::string Write(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
  return path;
}

std::vector<std::map<std::string, std::string>> Csv(const std::string& path) {
  std::vector<std::map<std::string, std::string>> rows;
  std::istringstream in(Slurp(path));
  std::string line, field;
  std::getline(in, line);
  std::vector<std::string> names;
  std::istringstream header(line);
  while (std::getline(header, field, ',')) names.push_back(field);
  while (std::getline(in, line)) {
    std::map<std::string, std::string> row;
    std::istringstream fields(line + ",");
    for (const std::string& name : names) {
      std::getline(fields, field, ',');
      row[name] = field;
    }
    rows.push_back(row);
  }
  return rows;
}

// The number after `label` in the summary.
double Summary(const std::string& out, const std::string& label) {
  size_t at = out.find(label + " ");
  if (at == std::string::npos) return -1;
  return std::stod(out.substr(at + label.size() + 1));
}

std::set<std::string> Files(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
    }
    closedir(d);
  }
  return names;
}

// Five routers, numbered in the file unlike the order its links come in (a
// reader that numbered them by first appearance would make file node 3 its
// node 0). Weights are ms, the fourth column kbit/s; 0 - 2 is the narrow link.
//
//   1 ---2--- 0 ---3--- 2
//   |         (300)     |
//   2                   2
//   |                   |
//   3 -------5--------- 4
const char* kNetwork =
    "5 5\n0 0 0\n1 1 0\n2 2 0\n3 3 0\n4 4 0\n"
    "3 1 2 1000\n1 0 2 1000\n0 2 3 300\n2 4 2 1000\n4 3 5 1000\n";

// Sessions 0 and 1 from node 0, session 2 from node 4; bands kbit/s, bounds
// ms. Session 0's second join needs 250 kbit/s on 0 - 2, where sessions 0 and
// 1 hold 280 of 300: blocked, whatever path it would take. Once session 1 has
// left, the same join fits. Its leave of node 3 prunes a branch.
const char* kTrace =
    "phase,kind,node,session,band,delay,hops\n"
    "sessions,source,0,0,,,\n"
    "sessions,source,0,1,,,\n"
    "sessions,source,4,2,,,\n"
    "beef-up,join,2,0,200,16,4\n"
    "beef-up,join,2,1,80,16,4\n"
    "beef-up,join,1,2,100,30,4\n"
    "join-leave,join,4,0,250,40,4\n"
    "join-leave,leave,4,0,,,\n"
    "join-leave,join,3,0,150,40,4\n"
    "join-leave,leave,2,1,,,\n"
    "join-leave,join,4,0,250,40,4\n"
    "join-leave,leave,3,0,,,\n"
    "end-of-session,leave,2,0,,,\n"
    "end-of-session,leave,4,0,,,\n"
    "end-of-session,leave,1,2,,,\n";

class StudyRouting : public ::testing::TestWithParam<const char*> {};

TEST_P(StudyRouting, WhatTheControllerAdmitsTheNetworkDelivers) {
  const std::string dir = Dir(std::string("deliver-") + GetParam());
  const std::string network = Write(dir + "/five.inet", kNetwork);
  const std::string trace = Write(dir + "/five.csv", kTrace);
  Outcome run = Study("--trace=" + trace + " --topology=" + network + " --packetSize=100" +
                      " --routing=" + GetParam() + " --csv=" + dir + "/out.csv --packets=" + dir +
                      "/out.packets --json=" + dir + "/out.json");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");

  // The requests' outcomes; the first join's path is the file's link 0 - 2:
  // 1040 bits at 1 Gbit/s from the sender, 3 ms, 1040 bits at 300 kbit/s
  // (and 1 ns for ns-3's rounding).
  const auto rows = Csv(dir + "/out.csv");
  ASSERT_EQ(rows.size(), 12u);
  std::vector<std::string> outcomes;
  for (const auto& row : rows) outcomes.push_back(row.at("outcome"));
  EXPECT_EQ(outcomes, (std::vector<std::string>{"admitted", "admitted", "admitted", "blocked",
                                                "not-admitted", "admitted", "left", "admitted",
                                                "left", "left", "left", "left"}));
  EXPECT_EQ(rows[0].at("path_hops"), "1");
  EXPECT_EQ(rows[0].at("path_delay"), "6.467708");
  EXPECT_EQ(rows[7].at("rate"), "250");

  // Every packet handed up the stack went to a member of its session, no
  // later than the bound the controller held for it, and a stream never
  // sent faster than its session's rate (1040 bits a packet).
  std::map<int, std::vector<std::pair<double, double>>> rates;  // session: (time, rate)
  for (const auto& row : rows) {
    rates[std::stoi(row.at("session"))].emplace_back(std::stod(row.at("time")),
                                                     std::stod(row.at("rate")));
  }
  auto rateAt = [&](int session, double t) {
    double rate = 0;
    for (const auto& [time, r] : rates[session]) {
      if (time <= t) rate = r;
    }
    return rate;
  };
  std::map<int, std::map<long, double>> sent;  // session: seq -> time sent
  int packets = 0;
  for (const auto& row : Csv(dir + "/out.packets")) {
    ++packets;
    ASSERT_EQ(row.at("member"), "1");
    const double latency = std::stod(row.at("time")) - std::stod(row.at("sent"));
    ASSERT_LE(latency, std::stod(row.at("bound")) / 1000 + 1e-9) << "node " << row.at("node");
    sent[std::stoi(row.at("session"))][std::stol(row.at("seq"))] = std::stod(row.at("sent"));
  }
  int gaps = 0;
  for (const auto& [session, times] : sent) {
    for (auto it = std::next(times.begin()); it != times.end(); ++it) {
      auto before = std::prev(it);
      if (before->first + 1 != it->first) continue;
      // A packet sent in the instant of a request may have gone at either rate.
      const double rate = std::max(rateAt(session, it->second), rateAt(session, it->second - 1e-9));
      ASSERT_GT(rate, 0);
      EXPECT_GE(it->second - before->second, 1040 / (rate * 1000) - 1e-9)
          << "session " << session << " packet " << it->first;
      ++gaps;
    }
  }
  EXPECT_GT(gaps, 3000);

  // The summary says the same as the files, and nothing was lost, late, led
  // astray or squeezed past a link's capacity.
  EXPECT_EQ(Summary(run.out, "admitted"), 5);
  EXPECT_EQ(Summary(run.out, "blocked"), 1);
  EXPECT_EQ(Summary(run.out, "packets delivered to members"), packets);
  EXPECT_EQ(Summary(run.out, "packets delivered to non-members"), 0);
  EXPECT_EQ(Summary(run.out, "packets forwarded off the trees"), 0);
  EXPECT_EQ(Summary(run.out, "packets lost"), 0);
  EXPECT_EQ(Summary(run.out, "packets late"), 0);
  const double load = Summary(run.out, "max link load");
  EXPECT_GT(load, 0.5);
  EXPECT_LE(load, 1);

  const nlohmann::json json = nlohmann::json::parse(Slurp(dir + "/out.json"));
  EXPECT_EQ(json.at("joins"), 6);
  EXPECT_EQ(json.at("admitted"), 5);
  EXPECT_EQ(json.at("blocked"), 1);
  EXPECT_EQ(json.at("packets_to_members"), packets);
  for (const char* key :
       {"packets_to_non_members", "packets_off_tree", "packets_lost", "packets_late"}) {
    EXPECT_EQ(json.at(key), 0) << key;
  }
  EXPECT_NEAR(json.at("max_link_load").get<double>(), load, 1e-4);
  EXPECT_NEAR(json.at("acceptance_ratio").get<double>(), Summary(run.out, "acceptance ratio"),
              1e-4);
  EXPECT_GT(json.at("delay_max_ms").get<double>(), json.at("delay_mean_ms").get<double>());
}

INSTANTIATE_TEST_SUITE_P(Study, StudyRouting, ::testing::Values("delay", "hops", "spt", "cost"));

// A member that never gets a packet counts as lost, and a node that gets one
// while not a member counts against the study: here every request comes in
// the same instant at the end, so the members' stays are empty.
TEST(Study, TheSameRunRepeatsAndEmptyStaysLoseNothing) {
  const std::string dir = Dir("repeat");
  const std::string network = Write(dir + "/five.inet", kNetwork);
  const std::string trace = Write(dir + "/five.csv", kTrace);
  const std::string args = "--trace=" + trace + " --topology=" + network +
                           " --packetSize=100 --poisson=1 --interval=0.5 --RngRun=3";
  Outcome a = Study(args + " --csv=" + dir + "/a.csv");
  Outcome b = Study(args + " --csv=" + dir + "/b.csv");
  Outcome c = Study(args + " --csv=" + dir + "/c.csv --RngRun=4");
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(a.out, b.out);
  EXPECT_EQ(Slurp(dir + "/a.csv"), Slurp(dir + "/b.csv"));
  EXPECT_NE(Slurp(dir + "/a.csv"), Slurp(dir + "/c.csv"));
  Outcome instant = Study("--trace=" + trace + " --topology=" + network + " --interval=0");
  ASSERT_EQ(instant.status, 0) << instant.err;
  EXPECT_EQ(Summary(instant.out, "packets lost"), 0);
  EXPECT_EQ(Summary(instant.out, "packets delivered to non-members"), 0);
}

TEST(Study, ShowsProgressOnATerminalOnly) {
  const std::string dir = Dir("progress");
  const std::string trace = Write(dir + "/five.csv", kTrace);
  Outcome piped = Study("--trace=" + trace + " --stream=0");
  EXPECT_EQ(piped.err, "");
  Outcome terminal =
      Shell("script -qec '" + kStudy + " --trace=" + trace + " --stream=0' /dev/null");
  EXPECT_NE(terminal.out.find("12 of 12 requests done"), std::string::npos) << terminal.out;
}

// Every refusal: its status, its one line, and nothing left where the run
// would have written.
TEST(Study, RefusesWhatItCannotRunAndLeavesNothingBehind) {
  const std::string dir = Dir("refuse");
  const std::string out = Dir("refuse-out");
  const std::string network = Write(dir + "/five.inet", kNetwork);
  const std::string trace = Write(dir + "/five.csv", kTrace);
  const std::string gaps = Write(dir + "/gaps.inet", "3 2\n0 0 0\n1 1 0\n3 3 0\n0 1 1\n1 3 1\n");
  std::string beyond = kTrace;
  beyond.replace(beyond.find("join-leave,join,3,0"), 19, "join-leave,join,5,0");
  beyond.replace(beyond.find("join-leave,leave,3,0"), 20, "join-leave,leave,5,0");
  beyond = Write(dir + "/beyond.csv", beyond);
  const std::string late = Write(dir + "/late.csv",
                                 "time,phase,kind,node,session,band,delay,hops\n"
                                 "0,sessions,source,0,0,,,\n"
                                 "0,beef-up,join,1,0,10,5,3\n"
                                 "9300000000,join-leave,leave,1,0,,,\n");
  const std::string far = Write(dir + "/far.csv",
                                "phase,kind,node,session,band,delay,hops\n"
                                "sessions,source,0,0,,,\n"
                                "join-leave,join,2147483646,0,10,5,3\n"
                                "join-leave,leave,2147483646,0,,,\n");
  const std::string two = Write(dir + "/two.csv",
                                "phase,kind,node,session,band,delay,hops\n"
                                "sessions,source,0,0,,,\n"
                                "join-leave,join,1,0,10,5,3\n"
                                "join-leave,leave,1,0,,,\n");
  const std::string params =
      Write(dir + "/p.params", "5\n1\n4\n0\n2\n1\n100\n50\n10\n20\n1\n3\n0\n");
  const std::string params6 =
      Write(dir + "/p6.params", "6\n1\n4\n0\n2\n1\n100\n50\n10\n20\n1\n3\n0\n");
  const std::string t = "--trace=" + trace + " ";
  const std::string outputs =
      " --csv=" + out + "/o.csv --packets=" + out + "/o.packets --json=" + out + "/o.json";
  struct Case {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"", 2, "give a trace (--trace=FILE) or a parameter file (--params=FILE)"},
      {t + "--params=" + params, 2, "not both"},
      {t + "--routing=fastest", 2, "--routing=fastest: no such routing; one of delay, hops"},
      {"--trace=" + dir + "/none.csv", 2, "cannot read the trace " + dir + "/none.csv: No such"},
      {"--params=" + dir + "/none.params", 2, "cannot read the parameter file"},
      {t + "--topology=" + dir + "/none.inet", 2, "cannot read the topology"},
      {t + "--capacity=1e20", 2, "--capacity=1e20: kbit/s, a number from 0.001 to 1e+12"},
      {t + "--capacity=-5", 2, "--capacity=-5: "},
      {t + "--capacity=ten", 2, "--capacity=ten: "},
      {t + "--packetInterval=0", 2, "--packetInterval=0: streams now send at"},
      {t + "--packetInterval=-10", 2, "--packetInterval=-10: "},
      {t + "--minLinkDelay=-1", 2, "--minLinkDelay=-1: whole ms"},
      {t + "--minLinkDelay=5 --maxLinkDelay=2", 2,
       "--minLinkDelay=5 is more than --maxLinkDelay=2"},
      {t + "--start=-5", 2, "--start=-5: seconds"},
      {t + "--interval=nan", 2, "--interval=nan: "},
      {t + "--packetSize=11", 2, "--packetSize=11: bytes of UDP payload, a whole number from 12"},
      {t + "--nodes=-1", 2, "--nodes=-1: "},
      {t + "--chords=-2", 2, "--chords=-2: "},
      {t + "--seed=2147483648", 2, "--seed=2147483648: "},
      {t + "--topologyType=bogus", 2, "--topologyType=bogus: no such form"},
      {t + "--topology=" + gaps, 2, gaps + ":"},
      {"--trace=" + beyond + " --topology=" + network, 2,
       beyond + ":10: node 5 is not in the network " + network + " (5 nodes)"},
      {"--params=" + params6 + " --topology=" + network, 2,
       params6 + ": nNodes is 6, more than the network " + network + " (5 nodes) has"},
      {"--params=" + params + " --topology=" + network, 0, ""},
      {"--trace=" + late, 1, late + ":4: a request timed at 9.3e+09 s"},
      {"--trace=" + far, 2,
       far + ":3: the trace needs 2147483647 nodes, more than the study generates (1000000 "
             "nodes)"},
      {"--trace=" + params, 1, params + ":1: "},
      {t + "--csv=" + out + "/no/such/dir.csv", 2, "cannot create"},
      {t + "--csv=" + out + "/o.csv --json=" + out + "/./o.csv", 2,
       "/./o.csv: the same file as --csv"},
      // Each option at the top of its range is taken.
      {t + "--stream=0 --csv=/dev/null --packets=/dev/null --json=/dev/null --capacity=1e12 "
           "--packetSize=65507",
       0, ""},
      // Devices that never end are refused at a size no such file reaches.
      {"--params=/dev/zero", 2, "/dev/zero: a parameter file of over 1 MiB"},
      {t + "--topology=/dev/zero", 2, "/dev/zero: over 256 MiB"},
      // Chords past the pairs a network has end once every pair is linked.
      {t + "--chords=100000000", 0, ""},
      {"--trace=" + two + " --stream=0 --chords=100000000", 0, ""},
      // Gaps that reach past the clock's end, refused before the run.
      {t + "--stream=0 --start=1e9 --interval=1e9", 2,
       "request 10 would happen at 1e+10 s, past the latest time ns-3 can hold"},
      {t + "--json=" + trace, 2, "--json=" + trace + ": would replace " + trace},
      {t + "--stream=0 --json=/dev/full", 1, "/dev/full"},
      // One file that cannot be written keeps the others from being put in place.
      {t + "--stream=0 --csv=" + out + "/o.csv --packets=" + out + "/o.packets --json=/dev/full", 1,
       "/dev/full"},
      // A file-size limit: the write fails and is said, no signal ends it.
      {"-c 'ulimit -f 1; exec " + kStudy + " " + t + "--packetSize=100 --packets=" + out +
           "/o.packets'",
       1, "o.packets"},
  };
  for (const Case& c : cases) {
    const bool ownOutputs = c.args.find("--csv") != std::string::npos ||
                            c.args.find("--json") != std::string::npos ||
                            c.args.find("--packets") != std::string::npos;
    Outcome run = c.args.rfind("-c ", 0) == 0 ? Shell("sh " + c.args)
                                              : Study(c.args + (ownOutputs ? "" : outputs));
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
    if (c.status == 0) {
      Shell("rm -f " + out + "/*");
      continue;
    }
    EXPECT_EQ(run.err.rfind("grouptrace-ns3-study: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Files(out), std::set<std::string>{}) << c.args;
  }

  Outcome list = Study("--routing=list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "delay\nhops\nspt\ncost\n");
}

}  // namespace
