#pragma once

// The study's admission control, apart from ns-3: a network of full-duplex
// links, one distribution tree per session rooted at its source, the stream
// each tree carries, and the routings that graft a joining member onto it.
//
// Units: a join's band and a session's rate are kbit/s, link bit rates bit/s,
// times whole nanoseconds (ns-3's clock), a join's delay bound milliseconds
// from the trace, turned into nanoseconds (rounded down) at the door. Hops
// count links from the source.
//
// The stream. A session sends one stream down its tree, of packets of one size
// (`packetBits` on the wire: payload and the UDP, IP and PPP headers) at the
// session's rate: the largest band among its present members, or nothing while
// it has none. Every link of the tree reserves that rate in the direction the
// stream crosses it. A join that raises the rate is admitted only if every
// link of the tree, the member's whole path from the source among them, has
// room for the higher rate; a graft only if its new links have room for it.
//
// The delay bound. A stream leaves its sender one packet an interval (the
// packet's bits over the rate), so in any span t it brings at most
// packetBits + rate * t bits; where its packets have been held up by up to J
// more on some paths than on others, packetBits + rate * (J + t). A link
// sends first come, first served at its bit rate, and the rates it carries add
// up to no more than that: a packet then leaves it, its last bit sent, at most
// (the sum of those bursts) / (bit rate) after it came, and the spread J of
// the streams it feeds grows by that bound less the packet's own transmission
// (R. L. Cruz, "A calculus for network delay", IEEE Trans. Inf. Theory 37(1),
// 1991). Every link's bound depends on the spreads that reach it, and those on
// the bounds upstream, so they are found together, from no spread up, until
// they no longer change. A member's bound is the sender's own link, then the
// propagation and bound of every link on its tree path; a join is admitted
// only if, after it, every member of every session still meets its delay and
// hop bounds.
//
// A leave drops the member, lowers the rate to the largest band left, and
// prunes the branch up to the nearest node that is a member, the source or
// forwards to another branch. Packets sent before it are still on their way
// for as long as the session's largest delay bound: the links keep the
// stream's old reservation and its burst until then, and only then give them
// back.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "grouptrace/trace_event.h"

namespace grouptrace_ns3 {

using Nanoseconds = int64_t;

// A join's delay bound in ms as the trace gives it, in whole nanoseconds:
// rounded down, negative for a bound nothing meets, and capped far beyond any
// simulated time for the largest.
Nanoseconds DelayBound(double milliseconds);

struct Link {
  uint32_t a;
  uint32_t b;
  uint64_t bitRate;   // bit/s, in each direction
  Nanoseconds delay;  // propagation
};

// An undirected network of nodes 0 .. n-1 whose links carry streams of
// packets of one size. Each link is two arcs, one per direction, with their
// own reservations and streams.
class Network {
 public:
  Network(uint32_t nodes, uint32_t packetBits);
  uint32_t AddLink(uint32_t a, uint32_t b, uint64_t bitRate, Nanoseconds delay);

  uint32_t GetNodeCount() const { return static_cast<uint32_t>(m_adjacent.size()); }
  uint32_t GetLinkCount() const { return static_cast<uint32_t>(m_links.size()); }
  uint32_t GetPacketBits() const { return m_packetBits; }
  const Link& GetLink(uint32_t id) const { return m_links[id]; }
  // (neighbour, link id) for every link at the node.
  const std::vector<std::pair<uint32_t, uint32_t>>& Adjacent(uint32_t node) const {
    return m_adjacent[node];
  }
  std::optional<uint32_t> FindLink(uint32_t a, uint32_t b) const;
  bool IsConnected() const;

  // The arc of a link that leaves `from`: 2 * link, plus 1 from its b end.
  uint32_t Arc(uint32_t link, uint32_t from) const {
    return 2 * link + (m_links[link].a == from ? 0 : 1);
  }
  // kbit/s reserved on the arc, and left of its bit rate.
  double Reserved(uint32_t link, uint32_t from) const { return m_arcs[Arc(link, from)].reserved; }
  double Residual(uint32_t link, uint32_t from) const;
  // Streams whose packets cross the arc, those still draining included.
  uint32_t Streams(uint32_t link, uint32_t from) const { return m_arcs[Arc(link, from)].streams; }
  // How long after it comes a packet may take to have left the arc, last bit
  // sent: the bound of the streams there now.
  Nanoseconds Queue(uint32_t link, uint32_t from) const { return m_arcs[Arc(link, from)].queue; }
  // One packet's time on the wire of the link, rounded up.
  Nanoseconds Transmission(uint32_t link) const;
  // The sender's own link, of the network's highest bit rate and at least
  // 1 Gbit/s: one packet's time on it.
  Nanoseconds SenderTransmission() const;
  uint64_t SenderBitRate() const;

  // What a stream that does not cross the arc yet would get on it at least:
  // propagation, the arc's bound and its own packet. The controller's check
  // after the graft adds what its burst and its effect on the others cost.
  Nanoseconds JoiningDelay(uint32_t link, uint32_t from) const;
  // Whether a stream of `rate` kbit/s new to the arc may fit: the rate in
  // what is left, and every member downstream of the arc keeps its bound with
  // one more packet to wait for.
  bool Accepts(uint32_t link, uint32_t from, double rate) const;

 private:
  friend class TreeController;
  struct ArcState {
    double reserved = 0;  // kbit/s
    uint32_t streams = 0;
    double drainingBurst = 0;  // bits, of the streams draining
    Nanoseconds queue = 0;
    // How much later the members downstream may see their packets and still
    // keep their bounds; a very large number with none.
    Nanoseconds headroom = 0;
  };
  uint32_t m_packetBits;
  std::vector<Link> m_links;
  std::vector<ArcState> m_arcs;
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> m_adjacent;
};

// A session's distribution tree: the source, every node the stream reaches,
// each with the link it comes in on and its bounds from the source.
class SessionTree {
 public:
  SessionTree(uint32_t nodes, uint32_t source);

  uint32_t GetSource() const { return m_source; }
  bool Contains(uint32_t node) const { return m_entries[node].inTree; }
  uint32_t Parent(uint32_t node) const { return m_entries[node].parent; }
  uint32_t ParentLink(uint32_t node) const { return m_entries[node].parentLink; }
  const std::vector<uint32_t>& Children(uint32_t node) const { return m_entries[node].children; }
  // The delay bound from the sender to the node along the tree.
  Nanoseconds DelayTo(uint32_t node) const { return m_entries[node].delay; }
  int32_t HopsTo(uint32_t node) const { return m_entries[node].hops; }
  bool IsMember(uint32_t node) const { return m_entries[node].member; }
  // What the member asked for.
  Nanoseconds DelayBoundOf(uint32_t node) const { return m_entries[node].delayBound; }
  // The rate the stream sends at, kbit/s: the largest band among the members.
  double GetRate() const { return m_bands.empty() ? 0 : std::max(*m_bands.rbegin(), 0.0); }
  uint32_t GetLinkCount() const { return m_linkCount; }
  // Every node in the tree, the source first, each before its children.
  std::vector<uint32_t> Nodes() const;

 private:
  friend class TreeController;
  struct Entry {
    bool inTree = false;
    bool member = false;
    uint32_t parent = 0;
    uint32_t parentLink = 0;
    Nanoseconds delay = 0;
    Nanoseconds spread = 0;  // of the stream's packets as they reach the node
    int32_t hops = 0;
    double band = 0;
    Nanoseconds delayBound = 0;
    int32_t hopBound = 0;
    std::vector<uint32_t> children;
  };
  uint32_t m_source;
  uint32_t m_linkCount = 0;
  std::multiset<double> m_bands;  // of the members
  std::vector<Entry> m_entries;
};

// What a routing is asked: a path for `node` whose new links carry `rate`, the
// session's rate once the member is in, and whose bound from the source is at
// most `delay` over at most `hops` links.
struct GraftQuery {
  uint32_t node;
  double rate;
  Nanoseconds delay;
  int32_t hops;
};

// The nodes from a tree node (first) to the joining node (last), each linked
// to the next; only the first is in the tree. A joining node already in the
// tree is a graft of that node alone.
using Graft = std::vector<uint32_t>;

// Where a researcher plugs in a routing algorithm: given the network with what
// every session has reserved so far, the session's tree and the query, return
// the graft to admit the member on, or nothing to block it. Network::Accepts
// and Network::JoiningDelay say what a new link may carry and what it adds to
// the bound. The controller checks the graft against every bound and capacity
// before it admits, so an algorithm cannot break the tree or overbook a link;
// a graft that does not hold is a fault of the algorithm and stops the study.
class TreeRouting {
 public:
  virtual ~TreeRouting() = default;
  virtual std::string Name() const = 0;
  virtual std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                         const GraftQuery& query) const = 0;
};

// The least-delay graft: of all paths from a tree node over links that accept
// the stream, the one whose bound from the source is least among those within
// the delay and hop bounds; a Dijkstra over (node, hops from the source), so
// a path slower but shorter is found when the fastest has too many hops.
class LeastDelayRouting : public TreeRouting {
 public:
  std::string Name() const override { return "delay"; }
  std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                 const GraftQuery& query) const override;
};

// Fewest hops from the source, least delay among those, over links that
// accept the stream; blocked when that path misses the delay bound even where
// a longer one would meet it.
class FewestHopsRouting : public TreeRouting {
 public:
  std::string Name() const override { return "hops"; }
  std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                 const GraftQuery& query) const override;
};

// The shortest-path tree by delay: every member on its path of least
// propagation and transmission delay from the source in the idle network
// (ties to the lower node number), so the trees are merged where paths meet;
// blocked when that path has no room or misses a bound.
class ShortestPathTreeRouting : public TreeRouting {
 public:
  std::string Name() const override { return "spt"; }
  std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                 const GraftQuery& query) const override;
};

// The cost-minimising graft: the fewest new links that meet the bounds (least
// delay among those), a greedy join to the nearest point of the tree.
class FewestLinksRouting : public TreeRouting {
 public:
  std::string Name() const override { return "cost"; }
  std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                 const GraftQuery& query) const override;
};

// The names MakeTreeRouting knows, in the order --routing=list shows them.
std::vector<std::string> TreeRoutingNames();
// Nothing for another name.
std::unique_ptr<TreeRouting> MakeTreeRouting(const std::string& name);

// What a join or leave changed.
struct TreeChange {
  bool admitted = false;              // joins: admitted or blocked
  std::vector<uint32_t> newLinks;     // joins: links added to the tree
  std::vector<uint32_t> prunedNodes;  // leaves: nodes whose incoming link was removed
  // Nodes whose incoming link or outgoing links changed: their forwarding
  // state must follow (the graft's nodes; the pruned nodes and the node the
  // pruning stopped at).
  std::vector<uint32_t> touched;
  Nanoseconds pathDelay = 0;  // joins: the member's bound from the source
  int32_t pathHops = 0;
  double rate = 0;  // the session's rate after the request, kbit/s
};

// Admits joins and applies leaves over every session's tree, sharing the
// network's capacity. Requests come in time order: `now` never decreases.
class TreeController {
 public:
  TreeController(Network& network, const std::vector<uint32_t>& sources,
                 const TreeRouting& routing);

  // The join's band in kbit/s, its delay bound in ms.
  TreeChange Join(const grouptrace::JoinRecord& join, Nanoseconds now);
  // A node that is not an admitted member (its join was blocked) changes nothing.
  TreeChange Leave(const grouptrace::LeaveRecord& leave, Nanoseconds now);

  const SessionTree& GetTree(uint32_t session) const { return m_trees[session]; }
  bool IsMember(uint32_t session, uint32_t node) const { return m_trees[session].IsMember(node); }
  // The gap between two packets of the session's stream at its rate, rounded
  // up so that the stream never sends faster; 0 while it has no rate.
  Nanoseconds PacketInterval(uint32_t session) const;

 private:
  struct Drain {
    Nanoseconds due;
    uint32_t session;
    uint32_t arc;
    double rate;   // kbit/s to give back
    bool stream;   // and the stream's place
    double burst;  // bits
  };

  void CheckGraft(const SessionTree& tree, const GraftQuery& query, const Graft& graft) const;
  void ReleaseDrained(Nanoseconds now);
  // Whether every link carries what it reserves and every member keeps its
  // bounds; with `commit`, records the bounds and the arcs' headroom.
  bool Assess(bool commit);
  double HeldRate(uint32_t session) const;
  void Reserve(uint32_t arc, double rate, int streams);

  Network& m_network;
  std::vector<SessionTree> m_trees;
  const TreeRouting& m_routing;
  std::vector<Drain> m_draining;
  // Per session, the rates still draining and until when.
  std::vector<std::vector<std::pair<Nanoseconds, double>>> m_heldRates;
};

}  // namespace grouptrace_ns3
