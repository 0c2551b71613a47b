// The one search step behind contacts, geometric bonds and the searches around a point: it decides
// between the spatial index and a scan of every atom, offers each candidate to a rule with the lower
// atom index first (as a scan over i < j meets the pair), and puts what the rule kept in the order of
// a scan. Large pair searches run in parts on threads of their own, which never throw. Every search
// here only reads the Structure and may run concurrently with any other (the index is built once).
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "quarn/found_pairs.hpp"
#include "quarn/geometry.hpp"
#include "quarn/interrupt.hpp"
#include "quarn/memory.hpp"
#include "quarn/spatial_index.hpp"
#include "quarn/structure.hpp"

namespace quarn {

// How a search that runs in parts is going. The parts poll it and stop once it is no longer running;
// a part that cannot get memory records what did not fit (it never throws: a thread the search
// started may lack even the memory an exception needs). The calling thread reads the outcome once
// every part has returned. A stop asked from outside (an interrupt) takes the same path.
class SearchStatus {
 public:
  bool running() const noexcept { return state_.load(std::memory_order_relaxed) == kRunning; }
  // Records that `what` (a text that lives for the process) did not fit, unless an outcome was
  // recorded first, and stops every part. Never allocates.
  void fail(const char* what) noexcept;
  // Stops every part at its next poll. Never allocates.
  void request_stop() noexcept;
  // On the calling thread, after every part returned: throws MemoryShortage when a part failed, and
  // Interrupted when a stop was requested.
  void check() const;

 private:
  static constexpr int kRunning = 0, kFailed = 1, kStopped = 2;
  std::atomic<int> state_{kRunning};
  std::atomic<const char*> what_{nullptr};
};

// A pair rule says which pairs a search keeps; it only reads shared state (parts run side by side):
//   double max_reach() const noexcept;              no pair farther apart than this is kept
//   double reach(std::uint32_t slot) const noexcept;   nor any of this slot's pairs farther apart; NaN
//                                                   or negative: the slot is in no kept pair
//   bool keep(std::uint32_t first, std::uint32_t second, double* distance, unsigned* tag) const noexcept;
//       slots of two atoms, first's atom index below second's; on true the pair is kept with its
//       distance (never NaN) and a tag below 4 of the rule's own (FoundPair::tag).
// The slots are those of the structure's spatial index. The search calls make_rule(index) once.

// The point searches' rows: an atom and its distance from the point.
struct Hit {
  std::uint64_t atom;
  double distance;
};

namespace detail {

// Runs body(part) for every part, all but part 0 on threads of their own (on this thread when one
// cannot be started), and returns once every part has. body must not throw. While the calling thread
// waits for the others it keeps asking its interrupt check, and asks `status` to stop when it says so.
// Without a status (null) it only waits: for steps too short to be worth stopping, such as building
// an index, which a polling wait would slow down by its period.
void run_parts(unsigned parts, void (*body)(void*, unsigned) noexcept, void* context, SearchStatus* status);
template <class Body>
void run_parts(unsigned parts, Body& body, SearchStatus& status) {
  run_parts(parts, [](void* b, unsigned part) noexcept { (*static_cast<Body*>(b))(part); }, &body, &status);
}
template <class Body>
void run_parts(unsigned parts, Body& body) {
  run_parts(parts, [](void* b, unsigned part) noexcept { (*static_cast<Body*>(b))(part); }, &body, nullptr);
}

// Parts of a scan over every pair of `slots` slots, and the source slots of one part: shares with
// about as many pairs each.
unsigned scan_parts(std::uint32_t slots) noexcept;
std::pair<std::uint32_t, std::uint32_t> scan_share(std::uint32_t slots, unsigned part, unsigned parts) noexcept;

// For tests: every later pair search fails on part `part` as if it ran out of memory there (-1: none).
void inject_part_failure(int part) noexcept;
bool part_failure_injected(unsigned part) noexcept;

// A reach within which the index's atoms make about `pairs` pairs, estimated from the neighbours of a
// few hundred atoms spread through the index (atoms keep their distances, so a density alone would
// misjudge the short ones). Only a first guess: the search counts what it finds. May throw
// std::bad_alloc.
double reach_for_pairs(const SpatialIndex& index, double pairs);

// The rule as the index and the scan see it: each pair lower atom first, pairs farther apart than
// `limit` dropped, kept pairs into the part's sink; a sink without memory fails the search.
template <class Rule, class Sink>
class PairVisit {
 public:
  PairVisit(const SpatialIndex& index, const Rule& rule, double limit, Sink& sink, SearchStatus& status,
            const char* what) noexcept
      : index_(index), rule_(rule), limit_(limit), sink_(sink), status_(status), what_(what) {}
  double max_reach() const noexcept { return within_limit(rule_.max_reach()); }
  double reach(std::uint32_t a) const noexcept { return within_limit(rule_.reach(a)); }
  // The part on the calling thread also asks the caller's interrupt check (others have none).
  bool running() const noexcept {
    if (interrupt_requested()) status_.request_stop();
    return status_.running();
  }
  void consider(std::uint32_t a, std::uint32_t b) noexcept {
    const bool swap = index_.atom(b) < index_.atom(a);
    const std::uint32_t first = swap ? b : a, second = swap ? a : b;
    double d = 0;
    unsigned tag = 0;
    if (!rule_.keep(first, second, &d, &tag) || !(d <= limit_)) return;
    if (!sink_.push_back(FoundPair::of(index_.atom(first), index_.atom(second), d, tag))) status_.fail(what_);
  }

 private:
  double within_limit(double r) const noexcept { return r > limit_ ? limit_ : r; }  // a NaN stays

  const SpatialIndex& index_;
  const Rule& rule_;
  double limit_;
  Sink& sink_;
  SearchStatus& status_;
  const char* what_;
};

// Every pair of slots, for part `part` of `parts`.
template <class Visit>
void scan_pairs(const SpatialIndex& index, Visit& visit, unsigned part, unsigned parts) {
  const std::uint32_t n = index.slot_count();
  const auto [first, last] = scan_share(n, part, parts);
  for (std::uint32_t a = first; a < last && visit.running(); ++a) {
    for (std::uint32_t b = a + 1; b < n; ++b) visit.consider(a, b);
  }
}

// Offers the rule every pair within `limit` (and within its reach), through the index where it
// prunes, else by a scan; one sink per part, made by make_sink() on this thread. Throws
// MemoryShortage naming `what` when a part ran out of memory.
template <class Rule, class MakeSink>
auto search_pairs(const SpatialIndex& index, const Rule& rule, double limit, MakeSink make_sink, const char* what) {
  using Sink = decltype(make_sink());
  const double max_reach = rule.max_reach() > limit ? limit : rule.max_reach();
  const bool use_index = max_reach >= 0 && index.worth_searching(max_reach);
  const unsigned parts = use_index ? search_parts(index.size()) : scan_parts(index.slot_count());
  std::vector<Sink> sinks;
  sinks.reserve(parts);
  for (unsigned part = 0; part < parts; ++part) sinks.push_back(make_sink());
  // Everything a part needs is made here: the parts allocate only through their sinks.
  std::vector<SpatialIndex::SweepRoom> rooms;
  if (use_index) {
    rooms.reserve(parts);
    for (unsigned part = 0; part < parts; ++part) rooms.push_back(index.sweep_room());
  }
  SearchStatus status;
  auto body = [&](unsigned part) noexcept {
    if (part_failure_injected(part)) {
      status.fail(what);
      return;
    }
    PairVisit<Rule, Sink> visit(index, rule, limit, sinks[part], status, what);
    run_search([&] {
      if (use_index) {
        index.pairs(visit, rooms[part], part, parts);
      } else {
        scan_pairs(index, visit, part, parts);
      }
    });
  };
  run_parts(parts, body, status);
  status.check();
  return sinks;
}

std::vector<PairRun> runs_of(const std::vector<PairChunks>& sinks);
std::vector<PairRun> runs_of(const std::vector<NearestPairs>& sinks);

// Calls visit(slot) for every slot whose atom may lie within `reach` of `origin`: the index's
// candidates and every slot without finite coordinates where the index prunes, else every slot.
template <class Visit>
void for_each_near(const SpatialIndex& index, Vec3 origin, double reach, Visit&& visit) {
  const bool finite = std::isfinite(origin.x) && std::isfinite(origin.y) && std::isfinite(origin.z);
  run_search([&] {
    if (finite && index.worth_searching(reach)) {
      index.near(origin, reach, visit);
      for (std::uint32_t slot = index.size(); slot < index.slot_count(); ++slot) visit(slot);
    } else {
      for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) visit(slot);
    }
  });
}

}  // namespace detail

namespace detail {
// pairs_in_distance_order on the index's rule.
template <class Rule>
PairBuffer nearest_pairs(const SpatialIndex& index, const Rule& rule, std::optional<std::uint64_t> keep,
                         const char* what);
}  // namespace detail

// Every pair the rule keeps, each once, ascending by first, then second atom: the order of a scan over
// i < j. May throw std::bad_alloc (a MemoryShortage naming `what` when the pairs do not fit).
template <class MakeRule>
PairBuffer pairs_in_scan_order(const Structure& s, MakeRule make_rule, const char* what) {
  if (s.atom_count() < 2) return {};
  const SpatialIndex& index = s.spatial_index();
  const auto rule = make_rule(index);
  return naming_shortage(what, [&] {
    const auto sinks = detail::search_pairs(index, rule, HUGE_VAL, [] { return PairChunks(); }, what);
    return in_scan_order(detail::runs_of(sinks), s.atom_count());
  });
}

// The pairs the rule keeps in nearer_pair order (the rows of a scan sorted stably by distance), the
// first `keep` of them (all when absent). With `keep`, time and memory grow with it and with the pairs
// examined, not with the pairs the rule would keep: the search looks within a growing reach until
// `keep` pairs are certain, holding the nearest `keep` of each part. Every distance the rule keeps
// must be within max_reach(). May throw std::bad_alloc (a MemoryShortage naming `what`).
template <class MakeRule>
PairBuffer pairs_in_distance_order(const Structure& s, MakeRule make_rule, std::optional<std::uint64_t> keep,
                                   const char* what) {
  if (s.atom_count() < 2 || keep == std::uint64_t{0}) return {};
  const SpatialIndex& index = s.spatial_index();
  const auto rule = make_rule(index);
  return naming_shortage(what, [&] { return detail::nearest_pairs(index, rule, keep, what); });
}

namespace detail {

template <class Rule>
PairBuffer nearest_pairs(const SpatialIndex& index, const Rule& rule, std::optional<std::uint64_t> keep,
                         const char* what) {
  const double max_reach = rule.max_reach();
  if (!keep) {
    const auto sinks = search_pairs(index, rule, HUGE_VAL, [] { return PairChunks(); }, what);
    return in_distance_order(runs_of(sinks), max_reach);
  }
  double reach = reach_for_pairs(index, 2.0 * static_cast<double>(*keep));
  for (;;) {
    // The last round searches the rule's whole reach, however many pairs it finds.
    const bool last = !(reach < max_reach) || !index.worth_searching(reach);
    const double limit = last ? HUGE_VAL : reach;
    const auto sinks = search_pairs(index, rule, limit, [&] { return NearestPairs(*keep); }, what);
    PairBuffer nearest = in_distance_order(runs_of(sinks), last ? max_reach : reach);
    // Every pair within the reach was offered: once `keep` of them are held, no pair beyond the reach
    // can be among the first `keep`, ties included.
    if (last || nearest.size() >= *keep) {
      nearest.truncate(std::min<std::uint64_t>(*keep, nearest.size()));
      return nearest;
    }
    // Pairs grow with the cube of the reach; with none found yet, a wide step.
    const double found = static_cast<double>(nearest.size());
    const double grown = reach * (found > 0 ? std::clamp(std::cbrt(1.5 * static_cast<double>(*keep) / found), 1.25, 8.0) : 8.0);
    reach = grown > reach ? grown : SpatialIndex::kCellEdge;  // from 0, or a reach too small to grow
  }
}

}  // namespace detail

// The atoms that the rule keeps in a pair with `atom`, ascending; empty when the atom is out of range
// or has no position. Looks only at the atoms within the rule's reach of it where the index prunes.
// May throw std::bad_alloc.
template <class MakeRule>
std::vector<std::uint64_t> partners_in_scan_order(const Structure& s, MakeRule make_rule, std::uint64_t atom) {
  if (atom >= s.atom_count()) return {};
  const auto position = position_of(s.atoms[atom]);
  if (!position) return {};
  const SpatialIndex& index = s.spatial_index();
  const auto rule = make_rule(index);
  const std::optional<std::uint32_t> self = index.slot_of(atom, *position);
  if (!self) return {};
  const double reach = rule.reach(*self);
  if (!(reach >= 0)) return {};
  std::vector<std::uint64_t> partners;
  detail::for_each_near(index, *position, reach, [&](std::uint32_t b) {
    if (b == *self) return;
    const bool before = index.atom(b) < atom;
    double d = 0;
    unsigned tag = 0;
    if (rule.keep(before ? b : *self, before ? *self : b, &d, &tag)) partners.push_back(index.atom(b));
  });
  std::sort(partners.begin(), partners.end());
  return partners;
}

// The atoms around `origin` that keep(index, slot, &distance) accepts, with that distance, in no particular
// order. No atom farther than `reach` from the origin may be accepted (a NaN distance may). May throw
// std::bad_alloc.
template <class Keep>
std::vector<Hit> hits_near(const Structure& s, Vec3 origin, double reach, Keep keep) {
  if (s.atom_count() == 0) return {};
  const SpatialIndex& index = s.spatial_index();
  return naming_shortage("the atoms found near a point", [&] {
    std::vector<Hit> hits;
    detail::for_each_near(index, origin, reach, [&](std::uint32_t slot) {
      double d = 0;
      if (keep(index, slot, &d)) hits.push_back({index.atom(slot), d});
    });
    return hits;
  });
}

// Hits ascending by atom: the order of a scan.
std::vector<Hit> in_scan_order(std::vector<Hit> hits);

// Hits nearest first, ties by atom (the stable order of a scan sorted by distance), the first `keep`.
// No distance may be NaN.
std::vector<Hit> nearest_first(std::vector<Hit> hits, std::uint64_t keep);

}  // namespace quarn
