#include "multicast-study.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "grouptrace-ns3/membership-trace-helper.h"
#include "grouptrace/topology.h"
#include "io/atomic_file.h"
#include "ns3/applications-module.h"
#include "ns3/core-module.h"
#include "ns3/internet-module.h"
#include "ns3/network-module.h"
#include "ns3/point-to-point-module.h"
#include "ns3/traffic-control-module.h"
#include "qos-tree.h"

namespace grouptrace_ns3 {

using namespace ns3;

namespace {

// Session s sends to 225.1.(s / 256).(s % 256), port 10000 + s.
constexpr uint16_t kBasePort = 10000;
constexpr uint32_t kMaxSessions = 65535 - kBasePort;
// What a packet carries on a link besides its UDP payload: the UDP, IPv4 and
// PPP headers.
constexpr uint32_t kHeaderBytes = 8 + 20 + 2;
// Random streams pinned so that only RngRun moves a run's draws.
constexpr int64_t kTopologyStream = 100;
constexpr int64_t kRequestStream = 101;
// The streams run this long past the last request, for packets in flight.
const Time kDrain = Seconds(1);
// The window of the links' measured load.
constexpr int64_t kLoadWindow = 1000000000;  // ns
// What ns-3 can send at, in kbit/s: a whole number of bit/s, and 64 bits of
// them; and the longest link delay the study takes, in ms (an hour).
constexpr double kLeastCapacity = 0.001;
constexpr double kMostCapacity = 1e12;
constexpr double kLongestLinkDelay = 3600000;
// Output is handed to its file in pieces of about this size.
constexpr size_t kFlushBytes = 1 << 20;

Ipv4Address GroupAddress(uint32_t session) {
  return Ipv4Address((225u << 24) | (1u << 16) | (session & 0xffffu));
}

// The session a group address belongs to, if it is one of the study's.
std::optional<uint32_t> SessionOf(Ipv4Address group, uint32_t sessions) {
  const uint32_t address = group.Get();
  if ((address >> 16) != ((225u << 8) | 1u) || (address & 0xffffu) >= sessions) return std::nullopt;
  return address & 0xffffu;
}

// A router hands a multicast packet up its stack only for a group it has
// joined, as a host that keeps its group memberships (IGMP's) would; ns-3's
// own list routing hands every one it sees to every node, forwarders
// included. Forwarding follows the static multicast routes as before.
class GroupFilterRouting : public Ipv4ListRouting {
 public:
  void JoinGroup(Ipv4Address group) { m_groups.insert(group.Get()); }
  void LeaveGroup(Ipv4Address group) { m_groups.erase(group.Get()); }

  void SetIpv4(Ptr<Ipv4> ipv4) override {
    m_ipv4 = ipv4;
    Ipv4ListRouting::SetIpv4(ipv4);
  }

  bool RouteInput(Ptr<const Packet> p, const Ipv4Header& header, Ptr<const NetDevice> idev,
                  UnicastForwardCallback ucb, MulticastForwardCallback mcb,
                  LocalDeliverCallback lcb, ErrorCallback ecb) override {
    if (!header.GetDestination().IsMulticast()) {
      return Ipv4ListRouting::RouteInput(p, header, idev, ucb, mcb, lcb, ecb);
    }
    bool handled = false;
    if (m_groups.count(header.GetDestination().Get()) != 0) {
      lcb(p->Copy(), header, static_cast<uint32_t>(m_ipv4->GetInterfaceForDevice(idev)));
      handled = true;
    }
    for (uint32_t i = 0; i < GetNRoutingProtocols(); ++i) {
      int16_t priority;
      handled |= GetRoutingProtocol(i, priority)->RouteInput(p, header, idev, ucb, mcb, lcb, ecb);
    }
    return handled;
  }

 protected:
  void DoDispose() override {
    m_ipv4 = nullptr;
    Ipv4ListRouting::DoDispose();
  }

 private:
  Ptr<Ipv4> m_ipv4;
  std::set<uint32_t> m_groups;
};

class GroupFilterRoutingHelper : public Ipv4RoutingHelper {
 public:
  GroupFilterRoutingHelper* Copy() const override { return new GroupFilterRoutingHelper(*this); }
  Ptr<Ipv4RoutingProtocol> Create(Ptr<Node> node) const override {
    Ptr<GroupFilterRouting> list = CreateObject<GroupFilterRouting>();
    list->AddRoutingProtocol(Ipv4StaticRoutingHelper().Create(node), 0);
    return list;
  }
};

// A file written as the simulation goes, whole or not at all.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : m_file(path) {}
  void Add(const std::string& text) {
    m_buffer += text;
    if (m_buffer.size() >= kFlushBytes) Flush();
  }
  void Commit() {
    Flush();
    m_file.commit();
  }
  void Flush() {
    m_file.write(m_buffer);
    m_buffer.clear();
  }

 private:
  grouptrace::AtomicFile m_file;
  std::string m_buffer;
};

class Study {
 public:
  explicit Study(const StudyConfig& config) : m_config(config) {}
  StudySummary Run();

 private:
  // A member's stay, from its admitted join to its leave.
  struct Stay {
    Nanoseconds bound;
    int64_t firstSeq;      // the first packet sent after the join
    int64_t lastSeen;      // the last packet it got
    uint64_t missing = 0;  // packets skipped over so far
  };
  // A session's stream, sent from its own host.
  struct Stream {
    Ptr<Socket> socket;
    Nanoseconds interval = 0;  // 0: silent
    EventId next;
    bool sentAny = false;
    Time last;
    int64_t seq = 0;                               // of the next packet
    std::deque<std::pair<int64_t, int64_t>> sent;  // (seq, time ns), the latest ones
  };
  // What a link in one direction sent lately: (start, end) of each packet
  // on the wire, ns, and how long they kept it busy in all.
  struct ArcLoad {
    std::deque<std::pair<int64_t, int64_t>> sent;
    int64_t busy = 0;
  };

  void OpenOutputs();
  void LoadTrace();
  void BuildNetwork();
  void ReadTopology(Ptr<UniformRandomVariable> draw);
  void GenerateTopology(uint32_t nodes, Ptr<UniformRandomVariable> draw);
  void Connect(uint32_t a, uint32_t b, uint64_t bitRate, Nanoseconds delay);
  void BuildSenders();
  void Measure();

  void OnJoin(const grouptrace::JoinRecord& join);
  void OnLeave(const grouptrace::LeaveRecord& leave);
  void OnFinished();
  static void OnDeliver(Study* study, uint32_t node, const Ipv4Header& header,
                        Ptr<const Packet> packet, uint32_t interface);
  static void OnTransmit(Study* study, uint32_t node, Ptr<const Packet> packet, Ptr<Ipv4> ipv4,
                         uint32_t interface);
  static void OnWire(Study* study, uint32_t arc, Ptr<const Packet> packet);

  void SetStream(uint32_t session);
  void Send(uint32_t session);
  void EndStay(uint32_t session, uint32_t node);
  uint32_t InterfaceAt(uint32_t link, uint32_t node) const;
  void RefreshRoute(uint32_t session, uint32_t node);
  void Outcome(const char* kind, uint32_t node, uint32_t session, double band, double delay,
               int32_t hops, const char* outcome, const TreeChange* change);
  void Write(std::unique_ptr<OutputFile>& file, const std::string& text);
  Nanoseconds Now() const { return Simulator::Now().GetNanoSeconds(); }

  const StudyConfig& m_config;
  Ptr<MembershipTraceHelper> m_membership;
  NodeContainer m_routers;
  NodeContainer m_senders;
  std::unique_ptr<Network> m_network;
  std::unique_ptr<TreeRouting> m_routing;
  std::unique_ptr<TreeController> m_controller;
  Ipv4AddressHelper m_linkAddresses;

  struct LinkEnds {
    uint32_t a;  // interface at the link's first node
    uint32_t b;  // and at its second
  };
  std::vector<LinkEnds> m_linkInterfaces;
  std::vector<std::map<uint32_t, uint32_t>> m_interfaceLink;  // per router: interface -> link
  std::vector<uint32_t> m_sourceInterface;  // per session, the source's side of its sender link
  std::vector<Ipv4Address> m_senderAddress;
  std::vector<Stream> m_streams;
  std::vector<ArcLoad> m_loads;  // per arc

  std::map<std::pair<uint32_t, uint32_t>, uint32_t> m_routeInput;  // (session, node)
  std::map<std::pair<uint32_t, uint32_t>, Stay> m_stays;           // (session, node)
  Nanoseconds m_longestBound = 0;
  std::map<Nanoseconds, uint64_t> m_delays;  // of every packet a member got

  std::unique_ptr<OutputFile> m_csv;
  std::unique_ptr<OutputFile> m_packets;
  std::unique_ptr<grouptrace::AtomicFile> m_json;
  std::optional<std::string> m_writeError;
  uint64_t m_request = 0;
  double m_treeCostSum = 0;
  StudySummary m_summary;
};

// Every file is created before the simulation, so that a name that cannot be
// written costs nothing.
void Study::OpenOutputs() {
  try {
    if (!m_config.csvFile.empty()) {
      m_csv = std::make_unique<OutputFile>(m_config.csvFile);
      m_csv->Add(
          "time,request,kind,node,session,band,delay,hops,outcome,tree_links,new_links,"
          "path_delay,path_hops,rate\n");
    }
    if (!m_config.packetFile.empty()) {
      m_packets = std::make_unique<OutputFile>(m_config.packetFile);
      m_packets->Add("time,node,session,seq,sent,member,bound\n");
    }
    if (!m_config.jsonFile.empty()) {
      m_json = std::make_unique<grouptrace::AtomicFile>(m_config.jsonFile);
    }
  } catch (const grouptrace::IoError& e) {
    throw StudyError(e.what(), 2);
  }
}

void Study::Write(std::unique_ptr<OutputFile>& file, const std::string& text) {
  if (!file || m_writeError) return;
  try {
    file->Add(text);
  } catch (const grouptrace::IoError& e) {
    // No use simulating on for output that cannot be kept.
    m_writeError = e.what();
    Simulator::Stop();
  }
}

void Study::LoadTrace() {
  m_membership = CreateObject<MembershipTraceHelper>();
  m_membership->SetAttribute("AbortOnError", BooleanValue(false));
  m_membership->SetAttribute("StartTime", TimeValue(Seconds(m_config.start)));
  m_membership->SetAttribute("Interval", TimeValue(Seconds(m_config.interval)));
  m_membership->SetAttribute("Spacing", EnumValue(m_config.poisson ? MembershipTraceHelper::POISSON
                                                                   : MembershipTraceHelper::FIXED));
  try {
    if (!m_config.traceFile.empty()) {
      m_membership->SetTraceFile(m_config.traceFile);
    } else {
      m_membership->SetParameterFile(m_config.parameterFile, m_config.seed);
    }
  } catch (const MembershipTraceError& e) {
    // A trace is data the study was given; parameters are what it was asked.
    throw StudyError(e.what(), m_config.traceFile.empty() ? 2 : 1);
  }
  if (m_membership->GetSessionCount() > kMaxSessions) {
    throw StudyError("the trace has " + std::to_string(m_membership->GetSessionCount()) +
                         " sessions; the study gives each a port of its own, for at most " +
                         std::to_string(kMaxSessions),
                     1);
  }
}

void Study::Connect(uint32_t a, uint32_t b, uint64_t bitRate, Nanoseconds delay) {
  PointToPointHelper p2p;
  p2p.SetDeviceAttribute("DataRate", DataRateValue(DataRate(bitRate)));
  // A packet of any size the study sends crosses a link whole.
  p2p.SetDeviceAttribute("Mtu", UintegerValue(65535));
  p2p.SetChannelAttribute("Delay", TimeValue(NanoSeconds(delay)));
  NetDeviceContainer devices = p2p.Install(m_routers.Get(a), m_routers.Get(b));
  // First come, first served: the queueing bound the controller admits on.
  TrafficControlHelper fifo;
  fifo.SetRootQueueDisc("ns3::FifoQueueDisc", "MaxSize", StringValue("100000p"));
  fifo.Install(devices);
  m_linkAddresses.Assign(devices);
  m_linkAddresses.NewNetwork();
  const uint32_t link = m_network->AddLink(a, b, bitRate, delay);
  devices.Get(0)->TraceConnectWithoutContext(
      "PhyTxBegin", MakeBoundCallback(&Study::OnWire, this, m_network->Arc(link, a)));
  devices.Get(1)->TraceConnectWithoutContext(
      "PhyTxBegin", MakeBoundCallback(&Study::OnWire, this, m_network->Arc(link, b)));
  LinkEnds ends{static_cast<uint32_t>(
                    m_routers.Get(a)->GetObject<Ipv4>()->GetInterfaceForDevice(devices.Get(0))),
                static_cast<uint32_t>(
                    m_routers.Get(b)->GetObject<Ipv4>()->GetInterfaceForDevice(devices.Get(1)))};
  m_linkInterfaces.push_back(ends);
  m_interfaceLink[a][ends.a] = link;
  m_interfaceLink[b][ends.b] = link;
}

// The default network: a ring 0-1-...-(n-1)-0, which keeps it connected, and
// `chords` links between distinct nodes drawn uniformly, skipping pairs
// already linked. Every link has the configured capacity and a delay in whole
// milliseconds drawn uniformly from [minLinkDelay, maxLinkDelay].
void Study::GenerateTopology(uint32_t nodes, Ptr<UniformRandomVariable> draw) {
  m_routers.Create(nodes);
  InternetStackHelper stack;
  stack.SetRoutingHelper(GroupFilterRoutingHelper());
  stack.Install(m_routers);
  m_network = std::make_unique<Network>(nodes, (m_config.packetSize + kHeaderBytes) * 8);
  m_interfaceLink.resize(nodes);
  const auto bitRate = static_cast<uint64_t>(m_config.capacity * 1000);
  auto delay = [&] {
    return Nanoseconds{1000000} * draw->GetInteger(m_config.minLinkDelay, m_config.maxLinkDelay);
  };
  for (uint32_t i = 0; nodes > 1 && i < nodes; ++i) {
    if (nodes == 2 && i == 1) break;  // two nodes: one link, not two
    Connect(i, (i + 1) % nodes, bitRate, delay());
  }
  uint32_t chords = m_config.chords < 0 ? nodes : static_cast<uint32_t>(m_config.chords);
  // Once every pair is linked no draw can add one: stop there rather than draw
  // on for as long as the count asked for. The attempts allowed stay those of
  // the count asked for, so the network drawn is the same.
  const uint64_t ring = nodes < 2 ? 0 : nodes == 2 ? 1 : nodes;
  const uint64_t unlinked = uint64_t{nodes} * (nodes - (nodes > 0)) / 2 - ring;
  const uint64_t wanted = std::min<uint64_t>(chords, unlinked);
  uint64_t attempts = 0;
  for (uint64_t added = 0; added < wanted && attempts < 50ull * chords + 100; ++attempts) {
    uint32_t a = draw->GetInteger(0, nodes - 1);
    uint32_t b = draw->GetInteger(0, nodes - 1);
    if (a == b || m_network->FindLink(a, b)) continue;
    Connect(a, b, bitRate, delay());
    ++added;
  }
}

// Where a network file gives no capacity for a link, --capacity; where it
// gives no delay (Orbis), a delay drawn as for the generated ring.
void Study::ReadTopology(Ptr<UniformRandomVariable> draw) {
  std::optional<grouptrace::TopologyFormat> format;
  if (!m_config.topologyType.empty()) {
    format = grouptrace::parseTopologyFormat(m_config.topologyType);
  }
  const grouptrace::Topology topology = [&] {
    try {
      return grouptrace::readTopology(m_config.topologyFile, format);
    } catch (const grouptrace::TopologyError& e) {
      throw StudyError(e.what(), 2);
    }
  }();
  const auto nodes = static_cast<uint32_t>(topology.nodeCount());
  m_routers.Create(nodes);
  InternetStackHelper stack;
  stack.SetRoutingHelper(GroupFilterRoutingHelper());
  stack.Install(m_routers);
  m_network = std::make_unique<Network>(nodes, (m_config.packetSize + kHeaderBytes) * 8);
  m_interfaceLink.resize(nodes);
  const bool weighted = topology.format() != grouptrace::TopologyFormat::orbis;
  for (const grouptrace::Topology::Link& link : topology.links()) {
    const double delay =
        weighted ? link.delay : draw->GetInteger(m_config.minLinkDelay, m_config.maxLinkDelay);
    const double capacity = link.capacity > 0 ? link.capacity : m_config.capacity;
    const std::string which = m_config.topologyFile + ": the link " + topology.nodeId(link.a) +
                              " - " + topology.nodeId(link.b);
    if (!(delay <= kLongestLinkDelay)) {
      throw StudyError(which + " has a delay of more than the study takes, " +
                           std::to_string(static_cast<int64_t>(kLongestLinkDelay)) + " ms",
                       2);
    }
    if (!(capacity >= kLeastCapacity && capacity <= kMostCapacity)) {
      throw StudyError(
          which + " has a capacity outside what ns-3 can send at, 0.001 to 1e12 kbit/s", 2);
    }
    Connect(static_cast<uint32_t>(link.a), static_cast<uint32_t>(link.b),
            static_cast<uint64_t>(capacity * 1000),
            static_cast<Nanoseconds>(std::llround(delay * 1e6)));
  }
}

void Study::BuildNetwork() {
  m_linkAddresses.SetBase("10.0.0.0", "255.255.255.252");
  Ptr<UniformRandomVariable> draw = CreateObject<UniformRandomVariable>();
  draw->SetStream(kTopologyStream);
  if (!m_config.topologyFile.empty()) {
    ReadTopology(draw);
    const uint32_t needed = m_membership->GetNetworkSize();
    const std::string network = "the network " + m_config.topologyFile + " (" +
                                std::to_string(m_routers.GetN()) + " nodes)";
    if (needed > m_routers.GetN() && m_config.traceFile.empty()) {
      throw StudyError(m_config.parameterFile + ": nNodes is " + std::to_string(needed) +
                           ", more than " + network + " has",
                       2);
    }
    if (needed > m_routers.GetN()) {
      throw StudyError(m_config.traceFile + ":" +
                           std::to_string(m_membership->GetLargestNodeLine()) + ": node " +
                           std::to_string(needed - 1) + " is not in " + network,
                       2);
    }
  } else {
    // A trace may name any node up to 2^31 - 2: a ring that large would fill
    // memory long before it was built.
    const uint32_t needed = m_membership->GetNetworkSize();
    if (needed > kMostGeneratedNodes) {
      const std::string where = m_config.traceFile.empty()
                                    ? m_config.parameterFile + ": nNodes is "
                                    : m_config.traceFile + ":" +
                                          std::to_string(m_membership->GetLargestNodeLine()) +
                                          ": the trace needs ";
      throw StudyError(
          where + std::to_string(needed) + (m_config.traceFile.empty() ? "" : " nodes") +
              ", more than the study generates (" + std::to_string(kMostGeneratedNodes) +
              " nodes); give the network with --topology",
          2);
    }
    GenerateTopology(std::max(m_config.nodes, needed), draw);
  }
  if (!m_network->IsConnected()) {
    std::fprintf(stderr,
                 "grouptrace-ns3-study: warning: the network is not connected; joins across "
                 "it are blocked\n");
  }
  m_loads.resize(2 * m_network->GetLinkCount());
}

// Each session's stream comes from a sender host of its own, linked to the
// session's source node: a node can send a multicast datagram on one
// interface only, while a source in a tree may have to feed several; the
// source node forwards what arrives from its sender like any tree node. The
// sender's link is as fast as the fastest in the network, and at least
// 1 Gbit/s, so that it never holds a stream back.
void Study::BuildSenders() {
  uint32_t sessions = m_membership->GetSessionCount();
  m_senders.Create(sessions);
  InternetStackHelper().Install(m_senders);
  Ipv4AddressHelper addresses("172.16.0.0", "255.255.255.252");
  PointToPointHelper p2p;
  p2p.SetDeviceAttribute("DataRate", DataRateValue(DataRate(m_network->SenderBitRate())));
  p2p.SetDeviceAttribute("Mtu", UintegerValue(65535));
  p2p.SetChannelAttribute("Delay", TimeValue(Time(0)));
  Ipv4StaticRoutingHelper staticRouting;
  m_streams.resize(sessions);
  for (uint32_t s = 0; s < sessions; ++s) {
    Ptr<Node> source = m_routers.Get(m_membership->Source(s));
    NetDeviceContainer devices = p2p.Install(m_senders.Get(s), source);
    TrafficControlHelper fifo;
    fifo.SetRootQueueDisc("ns3::FifoQueueDisc", "MaxSize", StringValue("100000p"));
    fifo.Install(devices);
    Ipv4InterfaceContainer interfaces = addresses.Assign(devices);
    addresses.NewNetwork();
    m_senderAddress.push_back(interfaces.GetAddress(0));
    m_sourceInterface.push_back(
        static_cast<uint32_t>(source->GetObject<Ipv4>()->GetInterfaceForDevice(devices.Get(1))));
    staticRouting.SetDefaultMulticastRoute(m_senders.Get(s), devices.Get(0));
    if (!m_config.stream) continue;
    Ptr<Socket> socket = Socket::CreateSocket(m_senders.Get(s), UdpSocketFactory::GetTypeId());
    // Paths may be longer than the default 64 hops.
    socket->SetAttribute("IpMulticastTtl", UintegerValue(255));
    socket->Bind();
    socket->Connect(InetSocketAddress(GroupAddress(s), kBasePort + s));
    m_streams[s].socket = socket;
  }
}

// The stream follows its session's rate: a packet one interval after the one
// before, the first at once; nothing while the session has no members.
void Study::SetStream(uint32_t session) {
  Stream& stream = m_streams[session];
  if (!stream.socket) return;
  const Nanoseconds interval = m_controller->PacketInterval(session);
  if (interval == stream.interval) return;
  stream.interval = interval;
  stream.next.Cancel();
  if (interval == 0) return;
  Time at = Simulator::Now();
  if (stream.sentAny) at = std::max(at, stream.last + NanoSeconds(interval));
  stream.next = Simulator::Schedule(at - Simulator::Now(), &Study::Send, this, session);
}

void Study::Send(uint32_t session) {
  Stream& stream = m_streams[session];
  SeqTsHeader header;
  header.SetSeq(static_cast<uint32_t>(stream.seq));
  Ptr<Packet> packet = Create<Packet>(m_config.packetSize - header.GetSerializedSize());
  packet->AddHeader(header);
  stream.socket->Send(packet);
  stream.sentAny = true;
  stream.last = Simulator::Now();
  // Enough of the past to tell, at a leave, which packets were sent a delay
  // bound before it.
  stream.sent.emplace_back(stream.seq, Now());
  while (!stream.sent.empty() && stream.sent.front().second < Now() - m_longestBound) {
    stream.sent.pop_front();
  }
  ++stream.seq;
  ++m_summary.packetsSent;
  stream.next = Simulator::Schedule(NanoSeconds(stream.interval), &Study::Send, this, session);
}

uint32_t Study::InterfaceAt(uint32_t link, uint32_t node) const {
  return m_network->GetLink(link).a == node ? m_linkInterfaces[link].a : m_linkInterfaces[link].b;
}

// Makes a node's multicast route for the session what its tree says: in on
// the link from its parent (from the sender, at the source), out on the links
// to its children; no route where it forwards to nobody.
void Study::RefreshRoute(uint32_t session, uint32_t node) {
  Ptr<Ipv4StaticRouting> routing =
      Ipv4StaticRoutingHelper().GetStaticRouting(m_routers.Get(node)->GetObject<Ipv4>());
  const Ipv4Address origin = m_senderAddress[session];
  const Ipv4Address group = GroupAddress(session);
  auto key = std::make_pair(session, node);
  auto installed = m_routeInput.find(key);
  if (installed != m_routeInput.end()) {
    bool removed = routing->RemoveMulticastRoute(origin, group, installed->second);
    NS_ABORT_MSG_UNLESS(removed, "no route to remove at node " << node);
    m_routeInput.erase(installed);
  }
  const SessionTree& tree = m_controller->GetTree(session);
  if (!tree.Contains(node) || tree.Children(node).empty()) return;
  uint32_t input = node == tree.GetSource() ? m_sourceInterface[session]
                                            : InterfaceAt(tree.ParentLink(node), node);
  std::vector<uint32_t> outputs;
  for (uint32_t child : tree.Children(node)) {
    outputs.push_back(InterfaceAt(tree.ParentLink(child), node));
  }
  routing->AddMulticastRoute(origin, group, input, outputs);
  m_routeInput[key] = input;
}

void Study::Outcome(const char* kind, uint32_t node, uint32_t session, double band, double delay,
                    int32_t hops, const char* outcome, const TreeChange* change) {
  if (!m_csv) return;
  const SessionTree& tree = m_controller->GetTree(session);
  std::ostringstream row;
  row.precision(12);
  row << Simulator::Now().GetSeconds() << ',' << m_request << ',' << kind << ',' << node << ','
      << session << ',' << band << ',' << delay << ',' << hops << ',' << outcome << ','
      << tree.GetLinkCount() << ',';
  if (change && change->admitted) {
    row << change->newLinks.size() << ',' << static_cast<double>(change->pathDelay) / 1e6 << ','
        << change->pathHops;
  } else {
    row << ",,";
  }
  row << ',' << tree.GetRate() << '\n';
  Write(m_csv, row.str());
}

void Study::OnJoin(const grouptrace::JoinRecord& join) {
  const auto node = static_cast<uint32_t>(join.node);
  const auto session = static_cast<uint32_t>(join.session);
  ++m_request;
  ++m_summary.joins;
  TreeChange change;
  try {
    change = m_controller->Join(join, Now());
  } catch (const std::logic_error& e) {
    NS_FATAL_ERROR(e.what());
  }
  if (!change.admitted) {
    ++m_summary.blocked;
    Outcome("join", node, session, join.band, join.delay, join.hops, "blocked", &change);
    return;
  }
  ++m_summary.admitted;
  m_treeCostSum += m_controller->GetTree(session).GetLinkCount();
  for (uint32_t v : change.touched) RefreshRoute(session, v);
  DynamicCast<GroupFilterRouting>(m_routers.Get(node)->GetObject<Ipv4>()->GetRoutingProtocol())
      ->JoinGroup(GroupAddress(session));
  const Nanoseconds bound = m_controller->GetTree(session).DelayBoundOf(node);
  m_longestBound = std::max(m_longestBound, bound);
  const int64_t next = m_streams[session].seq;
  m_stays[{session, node}] = Stay{bound, next, next - 1};
  SetStream(session);
  Outcome("join", node, session, join.band, join.delay, join.hops, "admitted", &change);
}

// The member's stay ends now: every packet sent from its join until its
// bound before now ought to have come.
void Study::EndStay(uint32_t session, uint32_t node) {
  auto found = m_stays.find({session, node});
  const Stay& stay = found->second;
  const Stream& stream = m_streams[session];
  const Nanoseconds deadline = Now() - stay.bound;
  auto after = std::lower_bound(stream.sent.begin(), stream.sent.end(), deadline,
                                [](const auto& sent, Nanoseconds t) { return sent.second < t; });
  const int64_t lastDue = after == stream.sent.end() ? stream.seq - 1 : after->first - 1;
  m_summary.packetsLost += stay.missing;
  if (lastDue > stay.lastSeen)
    m_summary.packetsLost += static_cast<uint64_t>(lastDue - stay.lastSeen);
  m_stays.erase(found);
}

void Study::OnLeave(const grouptrace::LeaveRecord& leave) {
  const auto node = static_cast<uint32_t>(leave.node);
  const auto session = static_cast<uint32_t>(leave.session);
  ++m_request;
  ++m_summary.leaves;
  if (!m_controller->IsMember(session, node)) {
    // Its join was blocked: there is nothing to take down.
    Outcome("leave", node, session, 0, 0, 0, "not-admitted", nullptr);
    return;
  }
  EndStay(session, node);
  DynamicCast<GroupFilterRouting>(m_routers.Get(node)->GetObject<Ipv4>()->GetRoutingProtocol())
      ->LeaveGroup(GroupAddress(session));
  TreeChange change = m_controller->Leave(leave, Now());
  for (uint32_t v : change.touched) RefreshRoute(session, v);
  SetStream(session);
  Outcome("leave", node, session, 0, 0, 0, "left", nullptr);
}

void Study::OnFinished() {
  Simulator::Stop(kDrain);
}

// A link's load is the share of the last second it spent sending, taken
// each time a packet has gone out whole: what a counter of the link's bytes
// would show, so a link can never look busier than it is.
void Study::OnWire(Study* study, uint32_t arc, Ptr<const Packet> packet) {
  const Link& link = study->m_network->GetLink(arc / 2);
  const int64_t start = study->Now();
  const int64_t end =
      start + DataRate(link.bitRate).CalculateBytesTxTime(packet->GetSize()).GetNanoSeconds();
  ArcLoad& load = study->m_loads[arc];
  load.sent.emplace_back(start, end);
  load.busy += end - start;
  const int64_t from = end - kLoadWindow;
  while (load.sent.front().second <= from) {
    load.busy -= load.sent.front().second - load.sent.front().first;
    load.sent.pop_front();
  }
  const int64_t cut = std::max<int64_t>(0, from - load.sent.front().first);
  const double share = static_cast<double>(load.busy - cut) / static_cast<double>(kLoadWindow);
  study->m_summary.maxLinkLoad = std::max(study->m_summary.maxLinkLoad, share);
}

// Every packet a router sends must go down its session's tree.
void Study::OnTransmit(Study* study, uint32_t node, Ptr<const Packet> packet, Ptr<Ipv4>,
                       uint32_t interface) {
  auto link = study->m_interfaceLink[node].find(interface);
  if (link == study->m_interfaceLink[node].end()) return;  // towards a sender
  Ipv4Header header;
  packet->PeekHeader(header);
  std::optional<uint32_t> session =
      SessionOf(header.GetDestination(), study->m_membership->GetSessionCount());
  if (!session) return;
  const SessionTree& tree = study->m_controller->GetTree(*session);
  bool onTree = false;
  if (tree.Contains(node)) {
    for (uint32_t child : tree.Children(node)) onTree |= tree.ParentLink(child) == link->second;
  }
  if (!onTree) ++study->m_summary.packetsOffTree;
}

// A packet handed up the stack at a router: it counts for a member of its
// session at this moment, and against the study anywhere else.
void Study::OnDeliver(Study* study, uint32_t node, const Ipv4Header& header,
                      Ptr<const Packet> packet, uint32_t) {
  std::optional<uint32_t> session =
      SessionOf(header.GetDestination(), study->m_membership->GetSessionCount());
  if (!session) return;
  const bool member = study->m_controller->IsMember(*session, node) &&
                      header.GetSource() == study->m_senderAddress[*session];
  Ptr<Packet> copy = packet->Copy();
  UdpHeader udp;
  copy->RemoveHeader(udp);
  SeqTsHeader stamp;
  copy->RemoveHeader(stamp);
  StudySummary& summary = study->m_summary;
  if (member) {
    ++summary.packetsToMembers;
    Stay& stay = study->m_stays.at({*session, node});
    const Nanoseconds delay = study->Now() - stamp.GetTs().GetNanoSeconds();
    ++study->m_delays[delay];
    if (delay > stay.bound) ++summary.packetsLate;
    const int64_t seq = stamp.GetSeq();
    if (seq > stay.lastSeen) {
      stay.missing += static_cast<uint64_t>(seq - std::max(stay.lastSeen + 1, stay.firstSeq));
      stay.lastSeen = seq;
    }
  } else {
    ++summary.packetsToNonMembers;
  }
  if (study->m_packets) {
    // A member's line shows the bound the controller holds for it now.
    char bound[32] = "";
    if (member) {
      std::snprintf(
          bound, sizeof bound, "%.6f",
          static_cast<double>(study->m_controller->GetTree(*session).DelayTo(node)) / 1e6);
    }
    char line[200];
    std::snprintf(line, sizeof line, "%.9f,%u,%u,%u,%.9f,%d,%s\n", Simulator::Now().GetSeconds(),
                  node, *session, stamp.GetSeq(), stamp.GetTs().GetSeconds(), member ? 1 : 0,
                  bound);
    study->Write(study->m_packets, line);
  }
}

void Study::Measure() {
  for (uint32_t i = 0; i < m_routers.GetN(); ++i) {
    Ptr<Ipv4L3Protocol> ip = m_routers.Get(i)->GetObject<Ipv4L3Protocol>();
    ip->TraceConnectWithoutContext("Tx", MakeBoundCallback(&Study::OnTransmit, this, i));
    ip->TraceConnectWithoutContext("LocalDeliver", MakeBoundCallback(&Study::OnDeliver, this, i));
  }
}

StudySummary Study::Run() {
  m_routing = MakeTreeRouting(m_config.routing);
  if (!m_routing) throw StudyError("unknown routing " + m_config.routing, 2);
  OpenOutputs();
  LoadTrace();
  BuildNetwork();
  try {
    m_membership->Install(m_routers);
  } catch (const MembershipTraceError& e) {
    throw StudyError(e.what(), 2);
  }
  m_membership->AssignStreams(kRequestStream);
  BuildSenders();

  std::vector<uint32_t> sources;
  for (uint32_t s = 0; s < m_membership->GetSessionCount(); ++s) {
    sources.push_back(m_membership->Source(s));
  }
  m_controller = std::make_unique<TreeController>(*m_network, sources, *m_routing);
  Measure();
  m_membership->TraceConnectWithoutContext("Join", MakeCallback(&Study::OnJoin, this));
  m_membership->TraceConnectWithoutContext("Leave", MakeCallback(&Study::OnLeave, this));
  m_membership->TraceConnectWithoutContext("Finished", MakeCallback(&Study::OnFinished, this));
  if (m_membership->GetRequestCount() == 0) Simulator::Stop(Seconds(m_config.start) + kDrain);

  try {
    Simulator::Run();
  } catch (const MembershipTraceError& e) {
    // The trace and a fixed spacing were checked before the run: what the
    // helper finds as it goes is a Poisson spacing past the clock's end.
    Simulator::Destroy();
    throw StudyError(e.what(), 2);
  }
  if (!m_writeError) {
    // The members still in at the end stay to the end.
    while (!m_stays.empty()) EndStay(m_stays.begin()->first.first, m_stays.begin()->first.second);
  }
  Simulator::Destroy();
  if (m_writeError) throw StudyError(*m_writeError, 1);

  m_summary.meanTreeCost = m_summary.admitted ? m_treeCostSum / m_summary.admitted : 0;
  m_summary.networkNodes = m_network->GetNodeCount();
  m_summary.networkLinks = m_network->GetLinkCount();
  if (!m_delays.empty()) {
    uint64_t count = 0;
    double sum = 0;
    for (const auto& [delay, n] : m_delays) {
      count += n;
      sum += static_cast<double>(delay) * static_cast<double>(n);
    }
    // The nearest rank: the least delay that at least 99 % of packets kept.
    const uint64_t rank = (count * 99 + 99) / 100;
    uint64_t seen = 0;
    for (const auto& [delay, n] : m_delays) {
      seen += n;
      if (seen >= rank) {
        m_summary.delayP99 = static_cast<double>(delay) / 1e6;
        break;
      }
    }
    m_summary.delayMean = sum / static_cast<double>(count) / 1e6;
    m_summary.delayMax = static_cast<double>(m_delays.rbegin()->first) / 1e6;
  }
  try {
    // Every file written whole before any is put in place: a full disk or a
    // size limit leaves all of them as they were, not some from this run
    // beside others from the last.
    if (m_csv) m_csv->Flush();
    if (m_packets) m_packets->Flush();
    if (m_json) m_json->write(SummaryJson(m_config, m_summary));
    if (m_csv) m_csv->Commit();
    if (m_packets) m_packets->Commit();
    if (m_json) m_json->commit();
  } catch (const grouptrace::IoError& e) {
    throw StudyError(e.what(), 1);
  }
  return m_summary;
}

}  // namespace

StudySummary RunStudy(const StudyConfig& config) {
  return Study(config).Run();
}

std::string SummaryJson(const StudyConfig& config, const StudySummary& s) {
  auto optional = [](const std::optional<double>& v) {
    return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
  };
  nlohmann::ordered_json j;
  j["routing"] = config.routing;
  j["network_nodes"] = s.networkNodes;
  j["network_links"] = s.networkLinks;
  j["requests"] = s.joins + s.leaves;
  j["joins"] = s.joins;
  j["leaves"] = s.leaves;
  j["admitted"] = s.admitted;
  j["blocked"] = s.blocked;
  j["acceptance_ratio"] =
      s.joins ? static_cast<double>(s.admitted) / static_cast<double>(s.joins) : 1.0;
  j["mean_tree_cost"] = s.meanTreeCost;
  j["packets_sent"] = s.packetsSent;
  j["packets_to_members"] = s.packetsToMembers;
  j["packets_to_non_members"] = s.packetsToNonMembers;
  j["packets_off_tree"] = s.packetsOffTree;
  j["packets_lost"] = s.packetsLost;
  j["packets_late"] = s.packetsLate;
  j["max_link_load"] = s.maxLinkLoad;
  j["delay_mean_ms"] = optional(s.delayMean);
  j["delay_p99_ms"] = optional(s.delayP99);
  j["delay_max_ms"] = optional(s.delayMax);
  return j.dump(2) + "\n";
}

std::string SummaryText(const StudyConfig& config, const StudySummary& s) {
  auto count = [](uint64_t n) { return std::to_string(n); };
  auto ms = [](const std::optional<double>& v) {
    if (!v) return std::string("none");
    char text[64];
    std::snprintf(text, sizeof text, "%.3f ms", *v);
    return std::string(text);
  };
  char ratio[64], cost[64], load[64];
  std::snprintf(ratio, sizeof ratio, "%.4f",
                s.joins ? static_cast<double>(s.admitted) / static_cast<double>(s.joins) : 1.0);
  std::snprintf(cost, sizeof cost, "%.3f", s.meanTreeCost);
  std::snprintf(load, sizeof load, "%.4f", s.maxLinkLoad);
  return "routing " + config.routing + "\nnetwork " + std::to_string(s.networkNodes) + " nodes, " +
         std::to_string(s.networkLinks) + " links\nrequests " + count(s.joins + s.leaves) + " (" +
         count(s.joins) + " joins, " + count(s.leaves) + " leaves)\nadmitted " + count(s.admitted) +
         "\nblocked " + count(s.blocked) + "\nacceptance ratio " + ratio + "\nmean tree cost " +
         cost + " links\npackets sent " + count(s.packetsSent) + "\npackets delivered to members " +
         count(s.packetsToMembers) + "\npackets delivered to non-members " +
         count(s.packetsToNonMembers) + "\npackets forwarded off the trees " +
         count(s.packetsOffTree) + "\npackets lost " + count(s.packetsLost) + "\npackets late " +
         count(s.packetsLate) + "\nmax link load " + load + "\ndelay mean " + ms(s.delayMean) +
         ", p99 " + ms(s.delayP99) + ", max " + ms(s.delayMax) + "\n";
}

}  // namespace grouptrace_ns3
