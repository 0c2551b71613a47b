#include "quarn/pair_search.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <thread>

namespace quarn {

namespace {

// Pairs per part of a scan below which starting a thread costs more than it saves.
constexpr double kPairsPerScanPart = double{1 << 22};
constexpr unsigned kMaxScanParts = 8;

std::atomic<int> injected_failure{-1};

}  // namespace

void SearchStatus::fail(const char* what) noexcept {
  int expected = kRunning;
  // The text is published before the state that tells the calling thread to read it.
  const char* none = nullptr;
  what_.compare_exchange_strong(none, what, std::memory_order_relaxed);
  state_.compare_exchange_strong(expected, kFailed, std::memory_order_release);
}

void SearchStatus::request_stop() noexcept {
  int expected = kRunning;
  state_.compare_exchange_strong(expected, kStopped, std::memory_order_release);
}

void SearchStatus::check() const {
  switch (state_.load(std::memory_order_acquire)) {
    case kFailed: throw MemoryShortage(what_.load(std::memory_order_relaxed));
    case kStopped: throw Interrupted();
    default: return;
  }
}

std::vector<Hit> in_scan_order(std::vector<Hit> hits) {
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.atom < b.atom; });
  return hits;
}

std::vector<Hit> nearest_first(std::vector<Hit> hits, std::uint64_t keep) {
  // Without NaN, (distance, atom) is a total order: only the rows kept need sorting.
  const auto before = [](const Hit& a, const Hit& b) {
    return a.distance != b.distance ? a.distance < b.distance : a.atom < b.atom;
  };
  if (keep < hits.size()) {
    std::partial_sort(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(keep), hits.end(), before);
    hits.resize(keep);
  } else {
    std::sort(hits.begin(), hits.end(), before);
  }
  return hits;
}

namespace detail {

void run_parts(unsigned parts, void (*body)(void*, unsigned) noexcept, void* context, SearchStatus* status) {
  std::atomic<unsigned> finished{0};
  struct Counted {
    void (*body)(void*, unsigned) noexcept;
    void* context;
    std::atomic<unsigned>* finished;
    void operator()(unsigned part) const noexcept {
      body(context, part);
      finished->fetch_add(1, std::memory_order_release);
    }
  };
  const Counted counted{body, context, &finished};
  std::vector<std::jthread> workers;
  try {
    workers.reserve(parts);
  } catch (const std::exception&) {
    // No room for the handles: every part runs here.
    for (unsigned part = 0; part < parts; ++part) body(context, part);
    return;
  }
  for (unsigned part = 1; part < parts; ++part) {
    try {
      workers.emplace_back(counted, part);
    } catch (const std::exception&) {
      body(context, part);  // no thread to be had: this one does the part
    }
  }
  if (parts > 0) body(context, 0);
  // The parts are about even, but a stop must not wait for the slowest of them.
  const auto started = static_cast<unsigned>(workers.size());
  while (status != nullptr && interrupt_watched() && status->running() &&
         finished.load(std::memory_order_acquire) < started) {
    if (interrupt_requested()) status->request_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}  // joins the workers

unsigned scan_parts(std::uint32_t slots) noexcept {
  if (const unsigned forced = forced_search_parts()) return forced;
  const double pairs = 0.5 * static_cast<double>(slots) * static_cast<double>(slots);
  const unsigned wanted = static_cast<unsigned>(std::min(pairs / kPairsPerScanPart, double{kMaxScanParts}));
  // search_parts of a large index gives the processors.
  return std::clamp(wanted, 1u, search_parts(kMaxPairedAtoms - 1));
}

std::pair<std::uint32_t, std::uint32_t> scan_share(std::uint32_t slots, unsigned part, unsigned parts) noexcept {
  // Source a has slots - 1 - a partners; the pairs of the sources before a add up to
  // a * slots - a * (a + 1) / 2. Each part starts where that reaches its share.
  const double n = slots;
  const double total = n * (n - 1) / 2;
  const auto start = [&](unsigned k) -> std::uint32_t {
    if (k == 0) return 0;
    if (k >= parts) return slots;
    const double target = total * k / parts;
    std::uint32_t lo = 0, hi = slots;
    while (lo < hi) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      const double a = mid;
      if (a * n - a * (a + 1) / 2 < target) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  };
  return {start(part), start(part + 1)};
}

void inject_part_failure(int part) noexcept { injected_failure.store(part, std::memory_order_relaxed); }

bool part_failure_injected(unsigned part) noexcept {
  return injected_failure.load(std::memory_order_relaxed) == static_cast<int>(part);
}

std::vector<PairRun> runs_of(const std::vector<PairChunks>& sinks) {
  std::vector<PairRun> runs;
  for (const PairChunks& sink : sinks) sink.append_runs(runs);
  return runs;
}

std::vector<PairRun> runs_of(const std::vector<NearestPairs>& sinks) {
  std::vector<PairRun> runs;
  runs.reserve(sinks.size());
  for (const NearestPairs& sink : sinks) runs.push_back(sink.run());
  return runs;
}

double reach_for_pairs(const SpatialIndex& index, double pairs) {
  constexpr std::uint32_t kSamples = 256;
  constexpr double kSampleReach = 2 * SpatialIndex::kCellEdge;
  const std::uint32_t n = index.size();
  if (n < 2) return HUGE_VAL;
  std::vector<double> near;  // the sampled atoms' distances to their neighbours
  std::uint32_t samples = 0;
  for (std::uint32_t a = 0; a < n; a += std::max(1u, n / kSamples), ++samples) {
    const Vec3 p = index.position(a);
    index.near(p, kSampleReach, [&](std::uint32_t b) {
      const double d = index.distance()(p, index.position(b));
      if (b != a && d <= kSampleReach) near.push_back(d);
    });
  }
  // Each sampled distance stands for n / samples atoms' worth of them, and each pair has two atoms.
  const double per_distance = 0.5 * n / samples;
  const double wanted = std::ceil(pairs / per_distance);
  if (near.empty()) return 2 * kSampleReach;
  if (wanted <= static_cast<double>(near.size())) {
    // Not the very shortest distance: one sampled distance stands for many pairs, and another round
    // costs more than a slightly wider one.
    const auto k = std::min(static_cast<std::size_t>(std::max(wanted, 2.0)), near.size()) - 1;
    std::nth_element(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(k), near.end());
    return near[k];
  }
  // Beyond the sample: pairs grow with the cube of the reach.
  return kSampleReach * std::cbrt(wanted / static_cast<double>(near.size()));
}

}  // namespace detail

}  // namespace quarn
