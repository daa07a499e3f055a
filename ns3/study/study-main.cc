// grouptrace-ns3-study: replays a membership trace over a network under a
// central QoS multicast controller and reports how many joins it admitted,
// what the trees cost and whether the streams reached exactly the members.

#include <cstdio>
#include <string>

#include "multicast-study.h"
#include "ns3/command-line.h"

int main(int argc, char* argv[]) {
  grouptrace_ns3::StudyConfig c;
  ns3::CommandLine cmd("grouptrace-ns3-study");
  cmd.Usage(
      "Replays a grouptrace membership trace over a network: every join is admitted on a path "
      "from the session's tree that has room for its band (kbit/s) on every new link and meets "
      "its delay (ms) and hop bounds from the source, or blocked; every leave prunes what no "
      "member needs. Trees become static multicast routes carrying a UDP stream per session. "
      "Writes per-request outcomes (--csv) and prints a summary. Vary replications with "
      "--RngRun.");
  cmd.AddValue("trace", "a stored trace to replay", c.traceFile);
  cmd.AddValue("params", "a parameter file to generate the trace from instead", c.parameterFile);
  cmd.AddValue("seed", "the generator's seed, with --params", c.seed);
  cmd.AddValue("topology", "a topology file; without it, a ring with random chords",
               c.topologyFile);
  cmd.AddValue("topologyType", "Inet, Orbis or Rocketfuel", c.topologyType);
  cmd.AddValue("nodes", "generated topology: nodes (at least those the trace needs)", c.nodes);
  cmd.AddValue("chords", "generated topology: random chords added to the ring (-1: one per node)",
               c.chords);
  cmd.AddValue("capacity", "capacity of every link, kbit/s", c.capacity);
  cmd.AddValue("minLinkDelay", "smallest link delay drawn, whole ms", c.minLinkDelay);
  cmd.AddValue("maxLinkDelay", "largest link delay drawn, whole ms", c.maxLinkDelay);
  cmd.AddValue("routing", "delay (least-delay feasible path) or hops (fewest hops)", c.routing);
  cmd.AddValue("start", "time of the first request, s", c.start);
  cmd.AddValue("interval", "time between requests (mean with --poisson), s", c.interval);
  cmd.AddValue("poisson", "space requests by exponential gaps", c.poisson);
  cmd.AddValue("stream", "run the sessions' UDP streams", c.stream);
  cmd.AddValue("packetInterval", "a stream's time between packets, ms", c.packetInterval);
  cmd.AddValue("packetSize", "a stream's packet size, bytes", c.packetSize);
  cmd.AddValue("csv", "write each request's outcome here", c.csvFile);
  cmd.AddValue("packets", "write each packet a member received here", c.packetFile);
  cmd.Parse(argc, argv);

  grouptrace_ns3::StudySummary s = grouptrace_ns3::RunStudy(c);
  std::printf("routing %s\n", c.routing.c_str());
  std::printf("network %u nodes, %u links\n", s.networkNodes, s.networkLinks);
  std::printf("requests %llu (%llu joins, %llu leaves)\n",
              static_cast<unsigned long long>(s.joins + s.leaves),
              static_cast<unsigned long long>(s.joins), static_cast<unsigned long long>(s.leaves));
  std::printf("admitted %llu\nblocked %llu\n", static_cast<unsigned long long>(s.admitted),
              static_cast<unsigned long long>(s.blocked));
  std::printf("acceptance ratio %.4f\n",
              s.joins ? static_cast<double>(s.admitted) / static_cast<double>(s.joins) : 1.0);
  std::printf("mean tree cost %.3f links\n", s.meanTreeCost);
  std::printf("packets delivered to members %llu\n",
              static_cast<unsigned long long>(s.deliveredToMembers));
  std::printf("packets delivered to non-members %llu\n",
              static_cast<unsigned long long>(s.deliveredToNonMembers));
  std::printf("packets forwarded off the trees %llu\n",
              static_cast<unsigned long long>(s.forwardedOffTree));
  return 0;
}
