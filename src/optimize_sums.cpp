#include "optimize_sums.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int> design_threads{0};
std::atomic<bool> design_screen{true};

// Below this many points a sum is not worth a thread.
constexpr std::int64_t kMinPointsPerSumThread = 2048;

void ExitRun(int status) { std::exit(status); }

SingularStopHandler singular_stop = ExitRun;

}  // namespace

void set_design_threads(int threads) { design_threads.store(threads < 0 ? 0 : threads); }

void set_design_screen(bool on) { design_screen.store(on); }

namespace {
// The stream of the message on each thread; null: standard output.
thread_local std::FILE* singular_stream = nullptr;
}  // namespace

std::FILE* set_singular_message_stream(std::FILE* stream) {
    std::FILE* const previous = singular_stream;
    singular_stream = stream;
    return previous;
}

SingularStopHandler set_singular_stop_handler(SingularStopHandler handler) {
    const SingularStopHandler previous = singular_stop;
    singular_stop = handler;
    return previous;
}

namespace detail {

int ThreadsWanted() {
    const int n = design_threads.load();
    if (n > 0) return n;
    const int hardware = static_cast<int>(std::thread::hardware_concurrency());
    return hardware > 0 ? hardware : 1;
}

// How many threads share the sums over `pointnum` points.
int SumThreads(std::int64_t pointnum) {
    int n = ThreadsWanted();
    if (pointnum < kMinPointsPerSumThread * n)
        n = static_cast<int>(pointnum / kMinPointsPerSumThread);
    return n < 1 ? 1 : n;
}

bool DesignScreen() { return design_screen.load(); }

// Ends the run on a linear system with a determinant of exactly zero.
[[noreturn]] void StopSingular(const char* message) {
    std::FILE* out = singular_stream ? singular_stream : stdout;
    std::fputs(message, out);
    std::fflush(out);
    singular_stop(1);
    std::exit(1);  // a handler that returns still ends the run
}

namespace {

// Runs the sums e[0 … 3] through one block, side by side, each in a variable of its own (an
// array would send every partial sum through memory); with fewer than four, the last ones
// repeat the last sum and are dropped.
void SumFour(const SumBlock& block, int points, const Pair* pairs, const int* e, int count,
             long double* acc) {
    const int e0 = e[0], e1 = e[std::min(1, count - 1)], e2 = e[std::min(2, count - 1)],
              e3 = e[std::min(3, count - 1)];
    const int i0 = pairs[e0].i, j0 = pairs[e0].j, i1 = pairs[e1].i, j1 = pairs[e1].j,
              i2 = pairs[e2].i, j2 = pairs[e2].j, i3 = pairs[e3].i, j3 = pairs[e3].j;
    long double a0 = acc[e0], a1 = acc[e1], a2 = acc[e2], a3 = acc[e3];
    switch (count) {
        case 1:
            for (int p = 0; p < points; ++p) a0 += (block.c[p][i0] * block.c[p][j0]) / block.v[p];
            break;
        case 2:
            for (int p = 0; p < points; ++p) {
                const long double* c = block.c[p];
                const long double v = block.v[p];
                a0 += (c[i0] * c[j0]) / v;
                a1 += (c[i1] * c[j1]) / v;
            }
            break;
        case 3:
            for (int p = 0; p < points; ++p) {
                const long double* c = block.c[p];
                const long double v = block.v[p];
                a0 += (c[i0] * c[j0]) / v;
                a1 += (c[i1] * c[j1]) / v;
                a2 += (c[i2] * c[j2]) / v;
            }
            break;
        default:
            for (int p = 0; p < points; ++p) {
                const long double* c = block.c[p];
                const long double v = block.v[p];
                a0 += (c[i0] * c[j0]) / v;
                a1 += (c[i1] * c[j1]) / v;
                a2 += (c[i2] * c[j2]) / v;
                a3 += (c[i3] * c[j3]) / v;
            }
    }
    acc[e3] = a3;
    acc[e2] = a2;
    acc[e1] = a1;
    acc[e0] = a0;
}

// A sum of whole terms, formed by the fill in column j.
void SumTerms(const SumBlock& block, int points, int j, long double* acc) {
    long double a = *acc;
    for (int p = 0; p < points; ++p) a = a + block.c[p][j];
    *acc = a;
}

}  // namespace

// Four sums side by side hide the latency of the additions.
void SumBlockOf(const SumBlock& block, int points, const Pair* pairs, const int* e, int count,
                long double* acc) {
    for (int first = 0; first < count;) {
        const int* g = e + first;
        if (pairs[g[0]].i == kTermColumn) {
            SumTerms(block, points, pairs[g[0]].j, acc + g[0]);
            first += 1;
            continue;
        }
        const int group = std::min(count - first, 4);
        SumFour(block, points, pairs, g, group, acc);
        first += group;
    }
}

// The pairs of an n × n symmetric matrix over columns 1 … n, then those of the right-hand side
// (0, j); returns their count.
int NormalPairs(int n, Pair* pairs) {
    int count = 0;
    for (int i = 1; i <= n; ++i)
        for (int j = i; j <= n; ++j) pairs[count++] = {i, j};
    for (int j = 1; j <= n; ++j) pairs[count++] = {0, j};
    return count;
}

// Spreads the sums of NormalPairs into the full matrix (row length n) and the right-hand side.
void SpreadNormal(int n, const Pair* pairs, const long double* sums, long double* LMatr,
                  long double* LCol) {
    for (int e = 0; e < n * (n + 1) / 2 + n; ++e) {
        const int i = pairs[e].i, j = pairs[e].j;
        if (i == 0) {
            LCol[j - 1] = sums[e];
        } else {
            LMatr[(i - 1) * n + (j - 1)] = sums[e];
            LMatr[(j - 1) * n + (i - 1)] = sums[e];
        }
    }
}

}  // namespace detail
