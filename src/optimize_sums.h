// Private to the fitting library: the threads that share the work over points, the engine that
// sums products of design-array columns over points, and the few rules that the design set, the
// fit and the linear part share. Not part of the library's face; optimize.h is.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "optimize.h"

namespace detail {

// The work over all points is shared among threads in two ways, neither of which changes a bit
// of any result: the design set hands out points, each point's block written by one thread;
// every sum over points stays whole in one thread and runs in point order, the threads taking
// different sums (the entries of a normal matrix), never parts of one.

// How many threads the work wants: set_design_threads, else the hardware's.
int ThreadsWanted();

// How many threads share the sums over `pointnum` points.
int SumThreads(std::int64_t pointnum);

// Whether the design set may screen points out of transit in double precision.
bool DesignScreen();

// Runs part(g, parts) for g = 0 … parts - 1 at once, each on a thread of its own, the
// caller's for g = 0. When fewer threads can be had than wanted, the caller runs part(0, 1)
// alone.
template <class Part>
void RunParts(int wanted, const Part& part) {
    std::atomic<int> team{0};  // 0 until the team is known
    std::vector<std::thread> helpers;
    for (int g = 1; g < wanted; ++g) {
        try {
            helpers.emplace_back([&team, &part, g] {
                int parts;
                while ((parts = team.load(std::memory_order_acquire)) == 0)
                    std::this_thread::yield();
                if (g < parts) part(g, parts);
            });
        } catch (const std::system_error&) {
            break;
        }
    }
    const int parts = static_cast<int>(helpers.size()) + 1 == wanted ? wanted : 1;
    team.store(parts, std::memory_order_release);
    part(0, parts);
    for (std::thread& helper : helpers) helper.join();
}

// Points per share of the design set: large enough that handing out shares costs nothing,
// small enough that the few points in transit, which cost a hundred times more, spread over
// all threads.
constexpr std::int64_t kShare = 256;

// Runs point(i) for every i < pointnum, the points handed out in shares to the threads, each
// share written by one thread; what point(i) writes depends on i alone, so the result is the
// same whatever the count.
template <class Point>
void ShareOutPoints(std::int64_t pointnum, const Point& point) {
    std::atomic<std::int64_t> next{0};
    auto work = [&] {
        for (;;) {
            const std::int64_t begin = next.fetch_add(kShare);
            if (begin >= pointnum) return;
            const std::int64_t end = std::min(begin + kShare, pointnum);
            for (std::int64_t i = begin; i < end; ++i) point(i);
        }
    };
    const std::int64_t shares = (pointnum + kShare - 1) / kShare;
    const int threads = static_cast<int>(std::min<std::int64_t>(ThreadsWanted(), shares));
    RunParts(threads < 1 ? 1 : threads, [&](int, int) { work(); });
}

// The range rules of the step admit e = 1 and R = 0, where the separation's derivatives and
// the change to stellar radii divide by zero; such vectors are evaluated just inside.
constexpr long double kRsunFloor = 0x1p-64L;  // far below any star seen from its planet

inline long double EvalEccentricity(long double e) {
    return e == 1.0L ? std::nextafter(1.0L, 0.0L) : e;  // exact on purpose
}

// Ends the run on a linear system with a determinant of exactly zero: prints the message and
// calls the handler of set_singular_stop_handler (by default exit with status 1).
[[noreturn]] void StopSingular(const char* message);

constexpr int kMaxUnknowns = 7 + kMaxCoefficients;  // parameters, period and coefficients

// Sums over points. Per point a fill forms a few columns c_0, c_1, … and σ²; sum (i, j) runs
// over the points of (c_i·c_j)/σ² (i ≥ 0), or of c_j itself (i = kTermColumn, a term the fill
// has formed whole), in point order, starting from 0. In normal equations column 0 holds the
// data side and columns 1 … n the derivatives; the matrix is symmetric term by term (c_i·c_j
// and c_j·c_i are the same product), so only i ≤ j is summed.
constexpr int kMaxColumns = kMaxUnknowns + 1;
constexpr int kMaxPairs = kMaxColumns * (kMaxColumns + 1) / 2;
constexpr int kTermColumn = -1;

// Points per block, and blocks per round. A round's blocks are filled first, shared among the
// threads; then each thread runs its sums through the round, four side by side, each running
// sum held in a register.
constexpr int kBlock = 64;
constexpr int kRoundBlocks = 16;

struct Pair {
    int i, j;
};

// Asks the memory for entries first … last of point i's row of the design array, a few points
// before a fill reads them: the rows lie a non-whole number of cache lines apart, a stride
// the hardware does not follow by itself.
constexpr std::int64_t kAhead = 16;
// (GCC drops __builtin_prefetch in these loops, hence the instruction itself.)
inline void PrefetchLine(const char* at) { asm volatile("prefetcht0 %0" : : "m"(*at)); }
inline void PrefetchRow(const long double* lset, int len, int first, int last, std::int64_t i) {
    const char* from = reinterpret_cast<const char*>(lset + i * len + first);
    const char* to = reinterpret_cast<const char*>(lset + i * len + last) + sizeof(long double) - 1;
    for (const char* line = from; line < to; line += 64) PrefetchLine(line);
    PrefetchLine(to);
}

struct SumBlock {
    long double c[kBlock][kMaxColumns];
    long double v[kBlock];  // σ²
};

// A few values copied as 16-byte moves: an 80-bit load and store through the x87 unit costs
// several times as much, and a loop would become a library call.
inline void CopyOne(long double* to, const long double* from) {
    std::memcpy(to, from, sizeof(long double));
}
inline void CopyFew(long double* to, const long double* from, int count) {
    switch (count) {
        case 5:
            CopyOne(to + 4, from + 4);
            [[fallthrough]];
        case 4:
            CopyOne(to + 3, from + 3);
            [[fallthrough]];
        case 3:
            CopyOne(to + 2, from + 2);
            [[fallthrough]];
        case 2:
            CopyOne(to + 1, from + 1);
            [[fallthrough]];
        case 1:
            CopyOne(to, from);
            [[fallthrough]];
        case 0:
            return;
        default:
            for (int k = 0; k < count; ++k) CopyOne(to + k, from + k);
    }
}

// Runs the sums e[0 … count-1] of `pairs` through one block into acc[e[k]], four at a time.
void SumBlockOf(const SumBlock& block, int points, const Pair* pairs, const int* e, int count,
                long double* acc);

// Waits until `ready` holds: a short spin, then giving the core away between looks.
template <class Ready>
void WaitFor(const Ready& ready) {
    for (int spins = 0; !ready(); ++spins)
        if (spins > 64) std::this_thread::yield();
}

// Progress of one round of PairSums: blocks claimed for filling, blocks filled, threads that
// have run their sums through it.
struct RoundState {
    std::atomic<int> claimed{0}, filled{0}, summed{0};
};

// Fills sums[e] for pairs[e], e < count. fill(begin, points, block) writes the columns and σ²
// of points begin … begin + points - 1. Each sum is whole in one thread, in point order; the
// threads take turns at filling the blocks of a round, so that one with fewer sums fills more,
// and two rounds are in hand at a time: a thread may fill the next round while another still
// sums the current one.
template <class Fill>
void PairSums(std::int64_t pointnum, const Pair* pairs, int count, const Fill& fill,
              long double* sums) {
    const std::int64_t round_points = std::int64_t{kRoundBlocks} * kBlock;
    const std::int64_t rounds = (pointnum + round_points - 1) / round_points;
    std::vector<SumBlock> buffer(2 * static_cast<std::size_t>(std::min<std::int64_t>(
                                         kRoundBlocks, (pointnum + kBlock - 1) / kBlock)));
    const int per_buffer = static_cast<int>(buffer.size() / 2);
    std::vector<RoundState> state(static_cast<std::size_t>(rounds));
    RunParts(SumThreads(pointnum), [&](int part, int parts) {
        int mine[kMaxPairs], own = 0;
        for (int e = part; e < count; e += parts) mine[own++] = e;
        long double acc[kMaxPairs] = {};
        if (parts == 1) {  // alone: block by block, the block never leaving the first cache
            for (std::int64_t begin = 0; begin < pointnum; begin += kBlock) {
                const int points =
                    static_cast<int>(std::min<std::int64_t>(kBlock, pointnum - begin));
                fill(begin, points, &buffer[0]);
                SumBlockOf(buffer[0], points, pairs, mine, own, acc);
            }
            for (int k = 0; k < own; ++k) sums[mine[k]] = acc[mine[k]];
            return;
        }
        for (std::int64_t r = 0; r < rounds; ++r) {
            const std::int64_t start = r * round_points;
            const int blocks =
                static_cast<int>((std::min(pointnum - start, round_points) + kBlock - 1) / kBlock);
            auto points = [&](int b) {
                return static_cast<int>(
                    std::min<std::int64_t>(kBlock, pointnum - start - std::int64_t{b} * kBlock));
            };
            SumBlock* round = &buffer[static_cast<std::size_t>(r % 2) * per_buffer];
            RoundState& now = state[static_cast<std::size_t>(r)];
            if (r >= 2) {  // the buffer is free once every thread has summed round r - 2
                RoundState& before = state[static_cast<std::size_t>(r - 2)];
                WaitFor([&] { return before.summed.load(std::memory_order_acquire) == parts; });
            }
            for (int b; (b = now.claimed.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
                fill(start + std::int64_t{b} * kBlock, points(b), &round[b]);
                now.filled.fetch_add(1, std::memory_order_release);
            }
            WaitFor([&] { return now.filled.load(std::memory_order_acquire) == blocks; });
            for (int b = 0; b < blocks; ++b) SumBlockOf(round[b], points(b), pairs, mine, own, acc);
            now.summed.fetch_add(1, std::memory_order_release);
        }
        for (int k = 0; k < own; ++k) sums[mine[k]] = acc[mine[k]];
    });
}

// The pairs of an n × n symmetric matrix over columns 1 … n, then those of the right-hand side
// (0, j); returns their count.
int NormalPairs(int n, Pair* pairs);

// Spreads the sums of NormalPairs into the full matrix (row length n) and the right-hand side.
void SpreadNormal(int n, const Pair* pairs, const long double* sums, long double* LMatr,
                  long double* LCol);

// The law coefficients as functions of the free basis coefficients c: u_j = π·c_j/(D·h) with
// D = 1 - Σ Lf_b·c_b over the free terms and h the factor of the held ones (1 without).
struct LawTerms {
    int nfree = 0;
    long double lf[kMaxCoefficients] = {};  // Lf of each free term, 0 for bits beyond three
    int slot[kMaxCoefficients] = {};        // its entry of the reported coefficients
    long double held_scale = 1.0L;
};

// The law of `nfree` free terms with nothing held: the selected terms of ldflag in bit order,
// each reported in its own slot.
LawTerms FreeLawTerms(int ldflag, int nfree);

// The uncertainties when the normal matrix is singular: no information on some combination of
// the unknowns, so every fitted value and free coefficient is unbounded (inf), the rest 0.
void MarkUnbounded(FitUncertainties* out, int parflag, const LawTerms& law);

// Applies the increments `dpar` of the fitted parameters (in bit order, the period last) to par
// and *period, then the range rules; returns the sum of the applied |increments|.
long double ApplyStep(const long double* dpar, long double* par, long double* period,
                      long double epoch, int parflag);

// ∂M_min/∂p for slot `slot` (1 e, 2 ω, 3 cos² i).
long double MidTransitSlope(const long double* params, int slot);

// 1σ of the reported values from the covariance `cov` (n×n, scaled already) of the fitted
// parameters in bit order (the period last, with kFitPeriod) and then the free basis
// coefficients c.
void PropagateCovariance(const long double* cov, int n, long double period,
                         const long double* params, int parflag, const LawTerms& law,
                         const long double* c, long double epoch, FitUncertainties* result);

}  // namespace detail
