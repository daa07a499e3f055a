#include "multicast-study.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "grouptrace-ns3/membership-trace-helper.h"
#include "ns3/applications-module.h"
#include "ns3/core-module.h"
#include "ns3/internet-module.h"
#include "ns3/network-module.h"
#include "ns3/point-to-point-module.h"
#include "ns3/topology-read-module.h"
#include "qos-tree.h"

namespace grouptrace_ns3 {

using namespace ns3;

namespace {

// Session s sends to 225.1.(s / 256).(s % 256), port 10000 + s: one port per
// session, because a node hands a multicast packet to every socket bound on
// its port, whatever the group.
constexpr uint16_t kBasePort = 10000;
constexpr uint32_t kMaxSessions = 65535 - kBasePort;
// Random streams pinned so that only RngRun moves a run's draws.
constexpr int64_t kTopologyStream = 100;
constexpr int64_t kRequestStream = 101;
// The streams run this long past the last request, for packets in flight.
const Time kDrain = Seconds(1);

Ipv4Address GroupAddress(uint32_t session) {
  return Ipv4Address((225u << 24) | (1u << 16) | (session & 0xffffu));
}

class Study {
 public:
  explicit Study(const StudyConfig& config) : m_config(config) {}
  StudySummary Run();

 private:
  void LoadTrace();
  void BuildTopology();
  void ReadTopology(Ptr<UniformRandomVariable> draw);
  void GenerateTopology(uint32_t nodes, Ptr<UniformRandomVariable> draw);
  void Connect(uint32_t a, uint32_t b, uint32_t delayMs);
  void BuildSenders();

  void OnJoin(const grouptrace::JoinRecord& join);
  void OnLeave(const grouptrace::LeaveRecord& leave);
  void OnFinished();
  void OnReceive(Ptr<Socket> socket);
  void OnTransmit(Ptr<const Packet> packet, Ptr<Ipv4> ipv4, uint32_t interface);

  uint32_t InterfaceAt(uint32_t link, uint32_t node) const;
  void RefreshRoute(uint32_t session, uint32_t node);
  void Outcome(const char* kind, uint32_t node, uint32_t session, double band, double delay,
               int32_t hops, const char* outcome, const TreeChange* change);

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
  std::map<uint32_t, uint32_t> m_routerOf;                    // ns-3 node id -> router
  std::vector<uint32_t> m_sourceInterface;  // per session, the source's side of its sender link
  std::vector<Ipv4Address> m_senderAddress;

  std::map<std::pair<uint32_t, uint32_t>, uint32_t> m_routeInput;  // (session, node)
  std::map<std::pair<uint32_t, uint32_t>, Ptr<Socket>> m_sockets;  // (session, node)
  std::map<Ptr<Socket>, std::pair<uint32_t, uint32_t>> m_socketOwner;

  std::ofstream m_csv;
  std::ofstream m_packets;
  uint64_t m_request = 0;
  double m_treeCostSum = 0;
  StudySummary m_summary;
};

void Study::LoadTrace() {
  m_membership = CreateObject<MembershipTraceHelper>();
  m_membership->SetAttribute("StartTime", TimeValue(Seconds(m_config.start)));
  m_membership->SetAttribute("Interval", TimeValue(Seconds(m_config.interval)));
  m_membership->SetAttribute("Spacing", EnumValue(m_config.poisson ? MembershipTraceHelper::POISSON
                                                                   : MembershipTraceHelper::FIXED));
  if (!m_config.traceFile.empty()) {
    m_membership->SetTraceFile(m_config.traceFile);
  } else {
    m_membership->SetParameterFile(m_config.parameterFile, m_config.seed);
  }
  NS_ABORT_MSG_IF(
      m_membership->GetSessionCount() > kMaxSessions,
      "the study gives each session a port of its own: at most " << kMaxSessions << " sessions");
}

void Study::Connect(uint32_t a, uint32_t b, uint32_t delayMs) {
  PointToPointHelper p2p;
  p2p.SetDeviceAttribute("DataRate",
                         DataRateValue(DataRate(static_cast<uint64_t>(m_config.capacity * 1000))));
  p2p.SetChannelAttribute("Delay", TimeValue(MilliSeconds(delayMs)));
  NetDeviceContainer devices = p2p.Install(m_routers.Get(a), m_routers.Get(b));
  m_linkAddresses.Assign(devices);
  m_linkAddresses.NewNetwork();
  m_network->AddLink(a, b, m_config.capacity, delayMs);
  LinkEnds ends{static_cast<uint32_t>(
                    m_routers.Get(a)->GetObject<Ipv4>()->GetInterfaceForDevice(devices.Get(0))),
                static_cast<uint32_t>(
                    m_routers.Get(b)->GetObject<Ipv4>()->GetInterfaceForDevice(devices.Get(1)))};
  m_linkInterfaces.push_back(ends);
  m_interfaceLink.resize(m_routers.GetN());
  m_interfaceLink[a][ends.a] = m_network->GetLinkCount() - 1;
  m_interfaceLink[b][ends.b] = m_network->GetLinkCount() - 1;
}

// The default network: a ring 0-1-...-(n-1)-0, which keeps it connected, and
// `chords` links between distinct nodes drawn uniformly, skipping pairs
// already linked. Every link has the configured capacity and a delay in whole
// milliseconds drawn uniformly from [minLinkDelay, maxLinkDelay].
void Study::GenerateTopology(uint32_t nodes, Ptr<UniformRandomVariable> draw) {
  m_routers.Create(nodes);
  InternetStackHelper().Install(m_routers);
  m_network = std::make_unique<Network>(nodes);
  m_interfaceLink.resize(nodes);
  auto delay = [&] { return draw->GetInteger(m_config.minLinkDelay, m_config.maxLinkDelay); };
  for (uint32_t i = 0; nodes > 1 && i < nodes; ++i) {
    if (nodes == 2 && i == 1) break;  // two nodes: one link, not two
    Connect(i, (i + 1) % nodes, delay());
  }
  uint32_t chords = m_config.chords < 0 ? nodes : static_cast<uint32_t>(m_config.chords);
  uint64_t attempts = 0;
  for (uint32_t added = 0; added < chords && attempts < 50ull * chords + 100; ++attempts) {
    uint32_t a = draw->GetInteger(0, nodes - 1);
    uint32_t b = draw->GetInteger(0, nodes - 1);
    if (a == b || m_network->FindLink(a, b)) continue;
    Connect(a, b, delay());
    ++added;
  }
}

// A topology file gives nodes and links; every link gets the configured
// capacity and a drawn delay, as generated ones do. Self-loops and repeated
// links are left out.
void Study::ReadTopology(Ptr<UniformRandomVariable> draw) {
  TopologyReaderHelper reader;
  reader.SetFileName(m_config.topologyFile);
  reader.SetFileType(m_config.topologyType);
  Ptr<TopologyReader> topology = reader.GetTopologyReader();
  NS_ABORT_MSG_IF(!topology, "unknown topology type " << m_config.topologyType
                                                      << " (Inet, Orbis or Rocketfuel)");
  m_routers = topology->Read();
  NS_ABORT_MSG_IF(m_routers.GetN() == 0,
                  "no nodes read from topology file " << m_config.topologyFile);
  InternetStackHelper().Install(m_routers);
  m_network = std::make_unique<Network>(m_routers.GetN());
  std::map<Ptr<Node>, uint32_t> index;
  for (uint32_t i = 0; i < m_routers.GetN(); ++i) index[m_routers.Get(i)] = i;
  for (auto link = topology->LinksBegin(); link != topology->LinksEnd(); ++link) {
    uint32_t a = index.at(link->GetFromNode());
    uint32_t b = index.at(link->GetToNode());
    if (a == b || m_network->FindLink(a, b)) continue;
    Connect(a, b, draw->GetInteger(m_config.minLinkDelay, m_config.maxLinkDelay));
  }
}

void Study::BuildTopology() {
  m_linkAddresses.SetBase("10.0.0.0", "255.255.255.252");
  Ptr<UniformRandomVariable> draw = CreateObject<UniformRandomVariable>();
  draw->SetStream(kTopologyStream);
  if (!m_config.topologyFile.empty()) {
    ReadTopology(draw);
  } else {
    GenerateTopology(std::max(m_config.nodes, m_membership->GetNetworkSize()), draw);
  }
  if (!m_network->IsConnected()) {
    std::fprintf(stderr, "warning: the topology is not connected; joins across it are blocked\n");
  }
}

// Each session's stream comes from a sender host of its own, linked to the
// session's source node: a node can send a multicast datagram on one
// interface only, while a source in a tree may have to feed several; the
// source node forwards what arrives from its sender like any tree node.
void Study::BuildSenders() {
  uint32_t sessions = m_membership->GetSessionCount();
  m_senders.Create(sessions);
  InternetStackHelper().Install(m_senders);
  Ipv4AddressHelper addresses("172.16.0.0", "255.255.255.252");
  PointToPointHelper p2p;
  p2p.SetDeviceAttribute("DataRate", StringValue("1Gbps"));
  p2p.SetChannelAttribute("Delay", TimeValue(Time(0)));
  Ipv4StaticRoutingHelper staticRouting;
  for (uint32_t s = 0; s < sessions; ++s) {
    Ptr<Node> source = m_routers.Get(m_membership->Source(s));
    NetDeviceContainer devices = p2p.Install(m_senders.Get(s), source);
    Ipv4InterfaceContainer interfaces = addresses.Assign(devices);
    addresses.NewNetwork();
    m_senderAddress.push_back(interfaces.GetAddress(0));
    m_sourceInterface.push_back(
        static_cast<uint32_t>(source->GetObject<Ipv4>()->GetInterfaceForDevice(devices.Get(1))));
    staticRouting.SetDefaultMulticastRoute(m_senders.Get(s), devices.Get(0));
    if (m_config.stream) {
      UdpClientHelper client(GroupAddress(s), kBasePort + s);
      client.SetAttribute("MaxPackets", UintegerValue(std::numeric_limits<uint32_t>::max()));
      client.SetAttribute("Interval", TimeValue(MilliSeconds(m_config.packetInterval)));
      client.SetAttribute("PacketSize", UintegerValue(m_config.packetSize));
      client.Install(m_senders.Get(s)).Start(Seconds(0));
    }
  }
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
  if (!m_csv.is_open()) return;
  const SessionTree& tree = m_controller->GetTree(session);
  m_csv << Simulator::Now().GetSeconds() << ',' << m_request << ',' << kind << ',' << node << ','
        << session << ',' << band << ',' << delay << ',' << hops << ',' << outcome << ','
        << tree.GetLinkCount() << ',';
  if (change && change->admitted) {
    m_csv << change->newLinks.size() << ',' << change->pathDelay << ',' << change->pathHops;
  } else {
    m_csv << ",,";
  }
  m_csv << '\n';
}

void Study::OnJoin(const grouptrace::JoinRecord& join) {
  const auto node = static_cast<uint32_t>(join.node);
  const auto session = static_cast<uint32_t>(join.session);
  const double band = join.band;
  const double delay = join.delay;
  const int32_t hops = join.hops;
  ++m_request;
  ++m_summary.joins;
  TreeChange change;
  try {
    change = m_controller->Join(session, JoinRequest{node, band, delay, hops});
  } catch (const std::logic_error& e) {
    NS_FATAL_ERROR(e.what());
  }
  if (!change.admitted) {
    ++m_summary.blocked;
    Outcome("join", node, session, band, delay, hops, "blocked", &change);
    return;
  }
  ++m_summary.admitted;
  m_treeCostSum += m_controller->GetTree(session).GetLinkCount();
  for (uint32_t v : change.touched) RefreshRoute(session, v);
  Ptr<Socket> socket = Socket::CreateSocket(m_routers.Get(node), UdpSocketFactory::GetTypeId());
  int bound = socket->Bind(InetSocketAddress(Ipv4Address::GetAny(), kBasePort + session));
  NS_ABORT_MSG_IF(bound != 0, "node " << node << " cannot bind the port of session " << session);
  socket->SetRecvCallback(MakeCallback(&Study::OnReceive, this));
  m_sockets[{session, node}] = socket;
  m_socketOwner[socket] = {node, session};
  Outcome("join", node, session, band, delay, hops, "admitted", &change);
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
  auto socket = m_sockets.find({session, node});
  socket->second->SetRecvCallback(MakeNullCallback<void, Ptr<Socket>>());
  socket->second->Close();
  m_socketOwner.erase(socket->second);
  m_sockets.erase(socket);
  TreeChange change = m_controller->Leave(session, node);
  for (uint32_t v : change.touched) RefreshRoute(session, v);
  Outcome("leave", node, session, 0, 0, 0, "left", nullptr);
}

void Study::OnFinished() {
  Simulator::Stop(kDrain);
}

// Every multicast packet a router sends must go down its session's tree.
void Study::OnTransmit(Ptr<const Packet> packet, Ptr<Ipv4> ipv4, uint32_t interface) {
  Ipv4Header header;
  packet->PeekHeader(header);
  uint32_t group = header.GetDestination().Get();
  if ((group >> 16) != ((225u << 8) | 1u)) return;
  uint32_t session = group & 0xffffu;
  uint32_t node = m_routerOf.at(ipv4->GetObject<Node>()->GetId());
  const SessionTree& tree = m_controller->GetTree(session);
  auto link = m_interfaceLink[node].find(interface);
  bool onTree = false;
  if (link != m_interfaceLink[node].end() && tree.Contains(node)) {
    for (uint32_t child : tree.Children(node)) onTree |= tree.ParentLink(child) == link->second;
  }
  if (!onTree) ++m_summary.forwardedOffTree;
}

void Study::OnReceive(Ptr<Socket> socket) {
  Address from;
  while (Ptr<Packet> packet = socket->RecvFrom(from)) {
    auto [node, session] = m_socketOwner.at(socket);
    bool fromItsSource = InetSocketAddress::ConvertFrom(from).GetIpv4() == m_senderAddress[session];
    bool member = m_controller->IsMember(session, node) && fromItsSource;
    ++(member ? m_summary.deliveredToMembers : m_summary.deliveredToNonMembers);
    if (m_packets.is_open()) {
      SeqTsHeader header;
      packet->RemoveHeader(header);
      char line[160];
      std::snprintf(line, sizeof line, "%.9f,%u,%u,%u,%.9f,%d\n", Simulator::Now().GetSeconds(),
                    node, session, header.GetSeq(), header.GetTs().GetSeconds(), member ? 1 : 0);
      m_packets << line;
    }
  }
}

StudySummary Study::Run() {
  NS_ABORT_MSG_IF(m_config.traceFile.empty() == m_config.parameterFile.empty(),
                  "give a trace (--trace) or a parameter file (--params), not both");
  m_routing = MakeTreeRouting(m_config.routing);
  NS_ABORT_MSG_IF(!m_routing, "unknown routing " << m_config.routing << " (delay or hops)");
  NS_ABORT_MSG_IF(m_config.minLinkDelay > m_config.maxLinkDelay,
                  "link delays: need minLinkDelay <= maxLinkDelay");
  LoadTrace();
  BuildTopology();
  m_membership->Install(m_routers);
  m_membership->AssignStreams(kRequestStream);
  BuildSenders();

  std::vector<uint32_t> sources;
  for (uint32_t s = 0; s < m_membership->GetSessionCount(); ++s) {
    sources.push_back(m_membership->Source(s));
  }
  m_controller = std::make_unique<TreeController>(*m_network, sources, *m_routing);

  if (!m_config.csvFile.empty()) {
    m_csv.open(m_config.csvFile);
    NS_ABORT_MSG_IF(!m_csv, "cannot write " << m_config.csvFile);
    m_csv.precision(12);
    m_csv << "time,request,kind,node,session,band,delay,hops,outcome,tree_links,new_links,"
             "path_delay,path_hops\n";
  }
  if (!m_config.packetFile.empty()) {
    m_packets.open(m_config.packetFile);
    NS_ABORT_MSG_IF(!m_packets, "cannot write " << m_config.packetFile);
    m_packets << "time,node,session,seq,sent,member\n";
  }
  for (uint32_t i = 0; i < m_routers.GetN(); ++i) {
    m_routerOf[m_routers.Get(i)->GetId()] = i;
    m_routers.Get(i)->GetObject<Ipv4>()->TraceConnectWithoutContext(
        "Tx", MakeCallback(&Study::OnTransmit, this));
  }
  m_membership->TraceConnectWithoutContext("Join", MakeCallback(&Study::OnJoin, this));
  m_membership->TraceConnectWithoutContext("Leave", MakeCallback(&Study::OnLeave, this));
  m_membership->TraceConnectWithoutContext("Finished", MakeCallback(&Study::OnFinished, this));
  if (m_membership->GetRequestCount() == 0) Simulator::Stop(Seconds(m_config.start) + kDrain);

  Simulator::Run();
  Simulator::Destroy();

  m_summary.meanTreeCost = m_summary.admitted ? m_treeCostSum / m_summary.admitted : 0;
  m_summary.networkNodes = m_network->GetNodeCount();
  m_summary.networkLinks = m_network->GetLinkCount();
  return m_summary;
}

}  // namespace

StudySummary RunStudy(const StudyConfig& config) {
  return Study(config).Run();
}

}  // namespace grouptrace_ns3
