#include "grouptrace/topology.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "io/sha256.h"

namespace grouptrace {
namespace {

struct Edge {
  NODEID a, b;
  double delay, capacity;
};

std::vector<Edge> edges(const Topology& network) {
  std::vector<Edge> out;
  for (const auto& link : network.links())
    out.push_back({link.a, link.b, link.delay, link.capacity});
  return out;
}

bool operator==(const Edge& x, const Edge& y) {
  return x.a == y.a && x.b == y.b && x.delay == y.delay && x.capacity == y.capacity;
}

void PrintTo(const Edge& e, std::ostream* os) {
  *os << "{" << e.a << "-" << e.b << " d=" << e.delay << " c=" << e.capacity << "}";
}

constexpr const char* kGraphmlHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<graphml xmlns=\"http://graphml.graphdrawing.org/xmlns\">\n"
    "  <key attr.name=\"label\" attr.type=\"string\" for=\"node\" id=\"d0\"/>\n"
    "  <key attr.name=\"delay\" attr.type=\"double\" for=\"edge\" id=\"d1\"/>\n"
    "  <key attr.name=\"LinkSpeedRaw\" attr.type=\"double\" for=\"edge\" id=\"d2\"/>\n"
    "  <key attr.name=\"capacity\" attr.type=\"double\" for=\"edge\" id=\"d3\">"
    "<default>500</default></key>\n";

// Every form names its nodes its own way; node i of the network must be the
// file's node i, whatever order the lines come in.
TEST(Topology, EachFormNumbersNodesAsTheFileDoes) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> ids;
    std::vector<Edge> links;
  };
  const Case cases[] = {
      {"inet, nodes and links out of order",
       "4 3\n3 10 10\n1 0 0\n0 5 5\n2 7 7\n3 1 2.5\n1 2 4\n2 0 1 9000\n",
       {"0", "1", "2", "3"},
       {{3, 1, 2.5, 0}, {1, 2, 4, 0}, {2, 0, 1, 9000}}},
      {"orbis from 1", "3 2\n1 3\n", {"1", "2", "3"}, {{2, 1, 1, 0}, {0, 2, 1, 0}}},
      {"orbis from 0",
       "# an Orbis edge list\n2 0\n\n0 1\n",
       {"0", "1", "2"},
       {{2, 0, 1, 0}, {0, 1, 1, 0}}},
      {"rocketfuel, routers in the byte order of their names",
       "Seattle,+WA1 Boston,+MA2 3.5\r\nBoston,+MA2 Austin,+TX7 1 2000\r\n",
       {"Austin,+TX7", "Boston,+MA2", "Seattle,+WA1"},
       {{2, 1, 3.5, 0}, {1, 0, 1, 2000}}},
      {"graphml, the i-th node",
       std::string(kGraphmlHead) +
           "  <graph edgedefault=\"undirected\">\n"
           "    <edge source=\"z\" target=\"a\"><data key=\"d1\">7.5</data>"
           "<data key=\"d2\">1000000</data></edge>\n"
           "    <node id=\"z\"><data key=\"d0\">Zurich</data></node>\n"
           "    <node id=\"a\"/>\n"
           "    <node id=\"m\"/>\n"
           "    <edge source=\"a\" target=\"m\"><data key=\"d3\"> 64 </data></edge>\n"
           "  </graph>\n</graphml>\n",
       {"z", "a", "m"},
       {{0, 1, 7.5, 500}, {1, 2, 1, 64}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name).rfind("graphml", 0) == 0 && !readsGraphml()) continue;
    const Topology network = parseTopology(c.text, "net");
    EXPECT_EQ(network.nodeIds(), c.ids);
    EXPECT_EQ(edges(network), c.links);
  }
}

// The GraphML tests skip themselves in a build without libxml2: a build that
// has it must say so, or they would all pass by skipping.
TEST(Topology, ReadsGraphmlWhereBuiltWithLibxml2) {
  EXPECT_EQ(readsGraphml(), GROUPTRACE_BUILT_WITH_GRAPHML != 0);
}

// A capacity of its own wins over the raw link speed, which is in bit/s.
TEST(Topology, GraphmlCapacityComesFromTheLinkSpeedWhereNoCapacityIsGiven) {
  if (!readsGraphml()) GTEST_SKIP() << "built without libxml2";
  const std::string text =
      "<graphml><key attr.name=\"LinkSpeedRaw\" for=\"edge\" id=\"s\"/>"
      "<key attr.name=\"capacity\" for=\"all\" id=\"c\"/><graph>"
      "<node id=\"0\"/><node id=\"1\"/><node id=\"2\"/>"
      "<edge source=\"0\" target=\"1\"><data key=\"s\">2.5e9</data></edge>"
      "<edge source=\"1\" target=\"2\"><data key=\"s\">2.5e9</data><data key=\"c\">3</data></edge>"
      "</graph></graphml>";
  const Topology network = parseTopology(text, "net");
  EXPECT_EQ(edges(network), (std::vector<Edge>{{0, 1, 1, 2.5e6}, {1, 2, 1, 3}}));
}

TEST(Topology, TheFormIsToldFromTheText) {
  struct Case {
    std::string text;
    TopologyFormat format;
  };
  const Case cases[] = {
      {"2 1\n0 0 0\n1 0 0\n0 1 1\n", TopologyFormat::inet},
      {"0 1\n1 2\n", TopologyFormat::orbis},
      {"0 1\n", TopologyFormat::orbis},
      {"a b 1\n", TopologyFormat::rocketfuel},
      {"\xEF\xBB\xBF<graphml><graph><node id=\"n\"/></graph></graphml>", TopologyFormat::graphml},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.format == TopologyFormat::graphml && !readsGraphml()) continue;
    EXPECT_EQ(parseTopology(c.text, "net").format(), c.format);
  }
  // Numbers that could be an Orbis line with a weight or Rocketfuel routers
  // named by numbers: the two number the nodes differently, so neither is
  // guessed.
  EXPECT_THROW(parseTopology("1 2 3\n", "net"), TopologyError);
  // Named, a form is read as that form.
  EXPECT_EQ(parseTopology("1 2 3\n", "net", TopologyFormat::rocketfuel).nodeIds(),
            (std::vector<std::string>{"1", "2"}));
}

// Every refusal names the file and the line at fault, and says why.
TEST(Topology, RefusesWithTheFileAndTheLine) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<TopologyFormat> format;
    std::uint64_t line;
    const char* reason;  // a piece of the reason
  };
  const Case cases[] = {
      {"empty", " \n\n", std::nullopt, 1, "empty"},
      {"only comments", "# nothing\n", TopologyFormat::orbis, 1, "empty"},
      {"only a header", "3 2\n", TopologyFormat::inet, 1, "too short for the 3 nodes"},
      {"no nodes", "0 1\n1 2 3\n", std::nullopt, 1, "a network of no nodes"},
      {"inet ends in the nodes", "2 1\n0 0 0\n", std::nullopt, 3,
       "ends after 1 of the 2 node lines"},
      {"inet ends in the links", "2 2\n0 0 0\n1 0 0\n0 1 1\n", std::nullopt, 5,
       "ends after 1 of the 2 link lines"},
      {"inet goes on", "2 1\n0 0 0\n1 0 0\n0 1 1\n1 0 1\n", std::nullopt, 5, "goes on after"},
      {"inet bad header", "2\n0 0 0\n", TopologyFormat::inet, 1, "numbers of nodes and links"},
      {"inet node out of range", "2 1\n0 0 0\n2 0 0\n0 1 1\n", std::nullopt, 3,
       "node number 2 is out of range 0 to 1"},
      {"inet link out of range", "2 1\n0 0 0\n1 0 0\n0 5 1\n", std::nullopt, 4,
       "node number 5 is out of range"},
      {"inet node twice", "2 1\n1 0 0\n1 0 0\n0 1 1\n", std::nullopt, 3,
       "node 1 is declared twice, first on line 2"},
      {"negative weight", "2 1\n0 0 0\n1 0 0\n0 1 -0.5\n", std::nullopt, 4, "negative"},
      {"infinite weight", "x y inf\n", std::nullopt, 1, "\"inf\" is not finite"},
      {"weight past a double", "x y 1e999\n", std::nullopt, 1, "not finite"},
      {"not-a-number weight", "x y nan\n", std::nullopt, 1, "not finite"},
      {"weight not a number", "x y fast\n", std::nullopt, 1, "\"fast\" is not a number"},
      {"negative capacity", "x y 1 -1\n", std::nullopt, 1, "capacity \"-1\" is negative"},
      {"orbis gap", "0 1\n1 3\n", std::nullopt, 2, "no link names node 2"},
      {"orbis from 2", "2 3\n", std::nullopt, 1, "lowest number here is 2"},
      {"orbis not a number", "0 1\n1 x\n", TopologyFormat::orbis, 2, "must be a whole number"},
      {"orbis weight", "0 1\n1 2 5\n", TopologyFormat::orbis, 2, "expected a link line \"a b\""},
      {"two pieces", "0 1\n2 3\n", std::nullopt, 2,
       "in 2 pieces: node 2 (\"2\", line 2) cannot be reached from node 0"},
      {"three pieces", "4 1\n0 0 0\n1 0 0\n2 0 0\n3 0 0\n0 3 1\n", std::nullopt, 3,
       "in 3 pieces: node 1"},
      {"unknown form", "1 2 3\n", std::nullopt, 1, "cannot be told"},
      {"graphml broken", "<graphml><graph>\n<node id=\"a\">\n</graph>", TopologyFormat::graphml, 3,
       "not well-formed"},
      {"graphml root", "<graph>\n</graph>", std::nullopt, 1, "not GraphML"},
      {"graphml no graph", "<graphml>\n</graphml>", std::nullopt, 1, "no <graph>"},
      {"graphml unknown end",
       "<graphml><graph>\n<node id=\"a\"/>\n<edge source=\"a\" target=\"b\"/>"
       "</graph></graphml>",
       std::nullopt, 3, "names node \"b\", which no <node> declares"},
      {"graphml node twice",
       "<graphml><graph>\n<node id=\"a\"/>\n<node id=\"a\"/></graph></graphml>", std::nullopt, 3,
       "declared twice, first on line 2"},
      {"graphml node without id", "<graphml><graph>\n<node/></graph></graphml>", std::nullopt, 2,
       "without its id"},
      {"graphml bad delay",
       "<graphml><key id=\"k\" for=\"edge\" attr.name=\"delay\"/><graph>"
       "<node id=\"a\"/><node id=\"b\"/>\n<edge source=\"a\" target=\"b\"><data key=\"k\">-3"
       "</data></edge></graph></graphml>",
       std::nullopt, 2, "delay \"-3\" is negative"},
      {"graphml in pieces",
       "<graphml><graph>\n<node id=\"a\"/>\n<node id=\"b\"/></graph></graphml>", std::nullopt, 3,
       "in 2 pieces"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool graphml = c.format == TopologyFormat::graphml || c.text.rfind('<', 0) == 0;
    if (graphml && !readsGraphml()) continue;
    try {
      parseTopology(c.text, "dir/net.txt", c.format);
      ADD_FAILURE() << "accepted";
    } catch (const TopologyError& e) {
      EXPECT_EQ(e.path(), "dir/net.txt");
      EXPECT_EQ(e.line(), c.line) << e.what();
      EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()), "dir/net.txt:" + std::to_string(c.line) + ": " + e.reason());
    }
  }
}

TEST(Topology, RepeatedLinksAndSelfLoopsAreLeftOut) {
  const Topology network =
      parseTopology("3 5\n0 0 0\n1 0 0\n2 0 0\n0 1 4\n1 0 9\n2 2 1\n1 2 2\n0 1 7\n", "net");
  EXPECT_EQ(edges(network), (std::vector<Edge>{{0, 1, 4, 0}, {1, 2, 2, 0}}));
  EXPECT_EQ(network.linksLeftOut(), 3u);
  // The links at each node, each once from either end.
  EXPECT_EQ(network.adjacencyOffsets(), (std::vector<std::uint32_t>{0, 1, 3, 4}));
  EXPECT_EQ(network.neighbours(), (std::vector<NODEID>{1, 0, 2, 1}));
  EXPECT_EQ(network.neighbourLinks(), (std::vector<std::uint32_t>{0, 0, 1, 1}));
}

TEST(Topology, ReadsAFileAndRecordsItsHash) {
  const std::string path = ::testing::TempDir() + "topology_test_ring.inet";
  const std::string text = "3 3\n0 0 0\n1 1 0\n2 0 1\n0 1 1\n1 2 1\n2 0 1\n";
  std::ofstream(path) << text;
  const Topology network = readTopology(path);
  Sha256 hash;
  hash.update(text.data(), text.size());
  EXPECT_EQ(network.sha256(), hash.hex());
  EXPECT_EQ(network.nodeCount(), 3);
  std::remove(path.c_str());
  try {
    readTopology(path);
    ADD_FAILURE() << "a missing file was read";
  } catch (const TopologyError& e) {
    EXPECT_EQ(e.line(), 0u);
    EXPECT_EQ(std::string(e.what()), path + ": " + e.reason());
  }
}

// A path of more links can be quicker: delays follow the links' delays, hops
// the links' count.
TEST(Topology, LeastDelaysAndHopDistancesFollowTheirOwnMeasure) {
  //   0 --10-- 1 --10-- 4
  //   |                 |
  //   1        ...      1
  //   2 ---1--- 3 --1-- 5 (and 5 -1- 4)
  const Topology network = parseTopology(
      "6 6\n0 0 0\n1 0 0\n2 0 0\n3 0 0\n4 0 0\n5 0 0\n"
      "0 1 10\n1 4 10\n0 2 1\n2 3 1\n3 5 1\n5 4 1.5\n",
      "net");
  EXPECT_EQ(leastDelays(network, 0), (std::vector<double>{0, 10, 1, 2, 4.5, 3}));
  EXPECT_EQ(hopDistances(network, 0), (std::vector<HOPS>{0, 1, 1, 2, 2, 3}));
  EXPECT_EQ(leastDelays(network, 4)[0], 4.5);
  EXPECT_THROW(hopDistances(network, 6), std::out_of_range);
  EXPECT_THROW(leastDelays(network, -1), std::out_of_range);
}

TEST(Topology, NetworksMadeInMemoryAreCheckedAlike) {
  EXPECT_EQ(Topology({"a"}, {}, TopologyFormat::inet, "").nodeCount(), 1);
  EXPECT_THROW(Topology({"a", "b"}, {{0, 2, 1, 0}}, TopologyFormat::inet, ""), TopologyError);
  EXPECT_THROW(Topology({"a", "b"}, {{0, 1, NAN, 0}}, TopologyFormat::inet, ""), TopologyError);
  EXPECT_THROW(Topology({"a", "b"}, {{0, 1, 1, -1}}, TopologyFormat::inet, ""), TopologyError);
  EXPECT_THROW(Topology({}, {}, TopologyFormat::inet, ""), TopologyError);
}

TEST(Topology, FormatNamesGoBothWays) {
  for (const auto format : {TopologyFormat::inet, TopologyFormat::orbis, TopologyFormat::rocketfuel,
                            TopologyFormat::graphml}) {
    EXPECT_EQ(parseTopologyFormat(topologyFormatName(format)), format);
  }
  EXPECT_EQ(parseTopologyFormat("Inet"), std::nullopt);
}

}  // namespace
}  // namespace grouptrace
