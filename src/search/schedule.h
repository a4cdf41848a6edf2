// The fixed schedule of operator calls that makes up a generation, and the
// number of candidates it hands out.
#pragma once

#include <cstdint>
#include <iterator>

struct Pairing {
    int first;
    int second;
    double rate;
};
// Crossover pairs by rank; rank 0 stands for the member at rank `save`.
inline constexpr Pairing kCrossAlways[] = {{1, 2, 0.30}, {1, 3, 0.28}, {1, 4, 0.26},
                                           {2, 3, 0.24}, {2, 4, 0.22}, {3, 4, 0.20}};
inline constexpr Pairing kCrossWithFifth[] = {{1, 5, 0.24}, {2, 5, 0.26}, {3, 5, 0.28}, {4, 5, 0.30}};
inline constexpr Pairing kCrossWithLast[] = {{1, 0, 0.20}, {2, 0, 0.18}, {3, 0, 0.16}};

struct Change {
    int parent;
    double rate;
};
inline constexpr Change kMutateAlways[] = {{1, 0.25}, {2, 0.35}, {3, 0.44}, {4, 0.55}, {1, 0.25}, {2, 0.30},
                                           {3, 0.35}, {4, 0.40}, {1, 0.25}, {2, 0.35}, {3, 0.25}, {4, 0.20}};
inline constexpr Change kMutateFifth[] = {{5, 0.50}, {5, 0.40}, {5, 0.30}};
inline constexpr Change kDirected[] = {{1, 0.1}, {2, 0.2}, {3, 0.3}, {4, 0.4}};
inline constexpr int kDirectedRounds = 5;

// Which parts of the schedule a population of `save` members takes part in.
constexpr int crossoverPasses(int save) { return save > 6 ? 1 : 3; }
constexpr bool withFifth(int save) { return save > 4; }
constexpr bool withLast(int save) { return save > 6; }

// The most candidates one generation hands out: every call of the schedule
// and `tries` random sets.
constexpr int64_t candidatesPerGeneration(int save, int tries) {
    const int64_t crossover = std::size(kCrossAlways) + (withFifth(save) ? std::size(kCrossWithFifth) : 0) +
                              (withLast(save) ? std::size(kCrossWithLast) : 0);
    return crossoverPasses(save) * crossover + std::size(kMutateAlways) +
           (withFifth(save) ? std::size(kMutateFifth) : 0) + kDirectedRounds * std::size(kDirected) +
           (tries > 0 ? tries : 0);
}

// The fewest: the crossovers with the member at rank `save` are left out
// while the population is smaller.
constexpr int64_t fewestCandidatesPerGeneration(int save, int tries) {
    const int64_t withLastCalls = withLast(save) ? crossoverPasses(save) * std::ssize(kCrossWithLast) : 0;
    return candidatesPerGeneration(save, tries) - withLastCalls;
}
