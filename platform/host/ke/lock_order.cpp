// Lock-order records of the verifier: a directed graph over spin locks with an edge A -> B
// whenever B was taken while A was held. A new edge that closes a cycle is a potential deadlock
// and stops the host. Records of locks whose memory is given back are forgotten.
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "host/ke/released_memory.h"
#include "host/ke/spin_lock_internal.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"

namespace host::ke::detail {

namespace {

using Node = uintptr_t;

struct OrderGraph {
  std::mutex mutex;
  std::map<Node, std::set<Node>> after;   // A -> every B taken while A was held
  std::map<Node, std::set<Node>> before;  // B -> every A held while B was taken
};

OrderGraph& Graph() {
  static OrderGraph* graph = new OrderGraph;
  return *graph;
}

// A path from `from` to `to` along recorded edges, both ends included, or empty.
std::vector<Node> PathBetween(const OrderGraph& graph, Node from, Node to) {
  std::map<Node, Node> cameFrom;
  std::vector<Node> frontier{from};
  cameFrom[from] = from;
  while (!frontier.empty()) {
    const Node node = frontier.back();
    frontier.pop_back();
    if (node == to) {
      std::vector<Node> path{to};
      for (Node at = to; at != from;) {
        at = cameFrom[at];
        path.insert(path.begin(), at);
      }
      return path;
    }
    auto next = graph.after.find(node);
    if (next == graph.after.end()) continue;
    for (Node successor : next->second) {
      if (cameFrom.emplace(successor, node).second) frontier.push_back(successor);
    }
  }
  return {};
}

void ForgetNode(std::map<Node, std::set<Node>>& own, std::map<Node, std::set<Node>>& other,
                Node node) {
  auto it = own.find(node);
  if (it == own.end()) return;
  for (Node peer : it->second) {
    auto back = other.find(peer);
    if (back == other.end()) continue;
    back->second.erase(node);
    if (back->second.empty()) other.erase(back);
  }
  own.erase(it);
}

}  // namespace

void NoteLockOrder(PKSPIN_LOCK acquiring, const std::vector<PKSPIN_LOCK>& held,
                   const char* routine, const void* caller) {
  OrderGraph& graph = Graph();
  const Node taken = reinterpret_cast<Node>(acquiring);
  std::vector<Node> cycle;
  Node heldLock = 0;
  {
    std::lock_guard<std::mutex> guard(graph.mutex);
    for (PKSPIN_LOCK h : held) {
      const Node holder = reinterpret_cast<Node>(h);
      if (holder == taken) continue;
      auto known = graph.after.find(holder);
      if (known != graph.after.end() && known->second.count(taken) != 0) continue;
      cycle = PathBetween(graph, taken, holder);
      if (!cycle.empty()) {
        heldLock = holder;
        break;
      }
      graph.after[holder].insert(taken);
      graph.before[taken].insert(holder);
    }
  }
  if (cycle.empty()) return;
  std::string order;
  for (Node node : cycle) {
    if (!order.empty()) order += " -> ";
    order += verifier::DescribeData(reinterpret_cast<const void*>(node));
  }
  verifier::Stop("LOCK_ORDER_CYCLE", routine,
                 "taking %s while holding %s, but earlier they were taken in the order %s%s",
                 verifier::DescribeData(acquiring).c_str(),
                 verifier::DescribeData(reinterpret_cast<const void*>(heldLock)).c_str(),
                 order.c_str(), verifier::CalledFrom(caller).c_str());
}

}  // namespace host::ke::detail

namespace host::ke {

void ForgetLocksIn(const void* begin, size_t bytes) {
  auto& graph = detail::Graph();
  const uintptr_t first = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t end = first + bytes;
  std::lock_guard<std::mutex> guard(graph.mutex);
  std::set<uintptr_t> nodes;
  for (auto* side : {&graph.after, &graph.before}) {
    for (auto it = side->lower_bound(first); it != side->end() && it->first < end; ++it) {
      nodes.insert(it->first);
    }
  }
  for (uintptr_t node : nodes) {
    detail::ForgetNode(graph.after, graph.before, node);
    detail::ForgetNode(graph.before, graph.after, node);
  }
}

}  // namespace host::ke
