#pragma once

// The study's admission control, apart from ns-3: a network of links with
// capacity and propagation delay, one distribution tree per session rooted at
// its source, and the routing that grafts a joining member onto its tree.
//
// Units: link capacity and a join's band are kbit/s, link delay and a join's
// delay bound are milliseconds, a join's hops bound counts links from the
// source. A trace has no units of its own; the study takes band as kbit/s and
// delay as ms, as the generator's example parameter files suggest.
//
// Admission. A join of node n asks for band b, delay bound D and hop bound H.
// It is admitted on a path that starts at a node already in the tree and
// continues over links not yet in it to n, such that every new link has b
// kbit/s of capacity left, and the tree path from the source to n has at most
// D ms of delay and H links. The new links reserve b while they stay in the
// tree; links already in the tree carry the session's stream already and are
// not charged again. A node already in the tree (a forwarder) is admitted
// without new links when its tree path meets D and H. A leave removes the
// member and prunes the branch up to the nearest node that is a member, the
// source, or forwards to another branch, releasing what those links reserved.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace grouptrace_ns3 {

struct Link {
  uint32_t a;
  uint32_t b;
  double capacity;  // kbit/s
  double delay;     // ms
  double reserved;  // kbit/s
};

// An undirected network of nodes 0 .. n-1.
class Network {
 public:
  explicit Network(uint32_t nodes);
  uint32_t AddLink(uint32_t a, uint32_t b, double capacity, double delay);

  uint32_t GetNodeCount() const { return static_cast<uint32_t>(m_adjacent.size()); }
  uint32_t GetLinkCount() const { return static_cast<uint32_t>(m_links.size()); }
  const Link& GetLink(uint32_t id) const { return m_links[id]; }
  double Residual(uint32_t id) const { return m_links[id].capacity - m_links[id].reserved; }
  // (neighbour, link id) for every link at the node.
  const std::vector<std::pair<uint32_t, uint32_t>>& Adjacent(uint32_t node) const {
    return m_adjacent[node];
  }
  std::optional<uint32_t> FindLink(uint32_t a, uint32_t b) const;
  bool IsConnected() const;

  void Reserve(uint32_t id, double band) { m_links[id].reserved += band; }
  void Release(uint32_t id, double band) { m_links[id].reserved -= band; }

 private:
  std::vector<Link> m_links;
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> m_adjacent;
};

// A session's distribution tree: the source, every node the stream reaches,
// and for each the link it comes in on.
class SessionTree {
 public:
  SessionTree(uint32_t nodes, uint32_t source);

  uint32_t GetSource() const { return m_source; }
  bool Contains(uint32_t node) const { return m_entries[node].inTree; }
  uint32_t Parent(uint32_t node) const { return m_entries[node].parent; }
  uint32_t ParentLink(uint32_t node) const { return m_entries[node].parentLink; }
  const std::vector<uint32_t>& Children(uint32_t node) const { return m_entries[node].children; }
  // Along the tree from the source.
  double DelayTo(uint32_t node) const { return m_entries[node].delay; }
  int32_t HopsTo(uint32_t node) const { return m_entries[node].hops; }
  bool IsMember(uint32_t node) const { return m_entries[node].member; }
  uint32_t GetLinkCount() const { return m_linkCount; }
  // Every node in the tree, the source first.
  std::vector<uint32_t> Nodes() const;

 private:
  friend class TreeController;
  struct Entry {
    bool inTree = false;
    bool member = false;
    uint32_t parent = 0;
    uint32_t parentLink = 0;
    double reserved = 0;  // on the parent link, for the join that added it
    double delay = 0;
    int32_t hops = 0;
    std::vector<uint32_t> children;
  };
  uint32_t m_source;
  uint32_t m_linkCount = 0;
  std::vector<Entry> m_entries;
};

struct JoinRequest {
  uint32_t node;
  double band;   // kbit/s
  double delay;  // ms
  int32_t hops;
};

// The nodes from a tree node (first) to the joining node (last), each linked
// to the next; only the first is in the tree. A joining node already in the
// tree is a graft of that node alone.
using Graft = std::vector<uint32_t>;

// Where a researcher plugs in a routing algorithm: given the network with the
// bandwidth every session has reserved so far, the session's tree and the
// join, return the graft to admit it on, or nothing to block it. The
// controller checks the graft against every constraint before it admits, so an
// algorithm cannot break the tree or overbook a link; a graft that does not
// hold is a fault of the algorithm and stops the study.
class TreeRouting {
 public:
  virtual ~TreeRouting() = default;
  virtual std::string Name() const = 0;
  virtual std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                         const JoinRequest& join) const = 0;
};

// The baseline: the path of least delay from any tree node that meets all
// three constraints: a Dijkstra over (node, hops from the source) so that a
// path longer in delay but shorter in hops is found when the fastest one has
// too many hops. Exact for the graft model above.
class ShortestDelayRouting : public TreeRouting {
 public:
  std::string Name() const override { return "delay"; }
  std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                 const JoinRequest& join) const override;
};

// The path with the fewest hops from the source (least delay among those),
// over links with room for the band; blocked when that path misses the delay
// bound even if a longer one would meet it.
class MinimumHopRouting : public TreeRouting {
 public:
  std::string Name() const override { return "hops"; }
  std::optional<Graft> FindGraft(const Network& network, const SessionTree& tree,
                                 const JoinRequest& join) const override;
};

// "delay" or "hops"; nothing for another name.
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
  double pathDelay = 0;  // joins: source to member along the tree, ms
  int32_t pathHops = 0;
};

// Admits joins and applies leaves over every session's tree, sharing the
// network's capacity.
class TreeController {
 public:
  TreeController(Network& network, const std::vector<uint32_t>& sources,
                 const TreeRouting& routing);

  TreeChange Join(uint32_t session, const JoinRequest& join);
  // A node that is not an admitted member (its join was blocked) changes nothing.
  TreeChange Leave(uint32_t session, uint32_t node);

  const SessionTree& GetTree(uint32_t session) const { return m_trees[session]; }
  bool IsMember(uint32_t session, uint32_t node) const { return m_trees[session].IsMember(node); }

 private:
  void CheckGraft(const SessionTree& tree, const JoinRequest& join, const Graft& graft) const;

  Network& m_network;
  std::vector<SessionTree> m_trees;
  const TreeRouting& m_routing;
};

}  // namespace grouptrace_ns3
