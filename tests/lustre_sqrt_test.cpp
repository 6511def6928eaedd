// Square-root limb-darkening term: the stored Gauss rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lustre.h"
#include "test_util.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Quadrature tables

struct Rule {
    const char* name;
    const long double* nodes;
    const long double* weights;
    long double alpha;  // weight (1 - x)^alpha on [0, 1]
};

const Rule kRules[] = {
    {"Legendre", nodes_Legendre, weights_Legendre, 0.0L},
    {"Jacobi1d4", nodes_Jacobi1d4, weights_Jacobi1d4, 0.25L},
    {"Jacobi1d2", nodes_Jacobi1d2, weights_Jacobi1d2, 0.5L},
};

// A published 19-digit value matches the table within half a unit of its last digit (plus the
// half ulp of the table's own rounding).
void ExpectPrinted(long double value, const char* printed, const std::string& what) {
    const long double decimal = std::strtold(printed, nullptr);
    const long double half_digit = 0.5L * std::pow(10.0L, std::floor(std::log10(decimal)) - 18);
    const long double ulp = std::ldexp(1.0L, std::ilogb(decimal) - 63);
    EXPECT_LE(std::fabs(value - decimal), half_digit + ulp) << what << " vs " << printed;
}

TEST(QuadratureTables, FirstAndLastEntries) {
    ExpectPrinted(nodes_Legendre[0], "0.005299532504175033702", "Legendre node 0");
    ExpectPrinted(weights_Legendre[0], "0.01357622970587704743", "Legendre weight 0");
    ExpectPrinted(nodes_Legendre[15], "0.9947004674958249663", "Legendre node 15");
    ExpectPrinted(weights_Legendre[15], "0.01357622970587704743", "Legendre weight 15");
    ExpectPrinted(nodes_Jacobi1d4[0], "0.005220597121045183777", "Jacobi1d4 node 0");
    ExpectPrinted(weights_Jacobi1d4[0], "0.01335688039357600065", "Jacobi1d4 weight 0");
    ExpectPrinted(nodes_Jacobi1d4[15], "0.9930233310241623830", "Jacobi1d4 node 15");
    ExpectPrinted(weights_Jacobi1d4[15], "0.004497806148958525668", "Jacobi1d4 weight 15");
    ExpectPrinted(nodes_Jacobi1d2[0], "0.005143979307365324606", "Jacobi1d2 node 0");
    ExpectPrinted(weights_Jacobi1d2[0], "0.01314449109647929604", "Jacobi1d2 weight 0");
    ExpectPrinted(nodes_Jacobi1d2[15], "0.9912332235069065799", "Jacobi1d2 node 15");
    ExpectPrinted(weights_Jacobi1d2[15], "0.001636869843022163750", "Jacobi1d2 weight 15");
}

TEST(QuadratureTables, WeightSums) {
    const long double sums[] = {1.0L, 4.0L / 5, 2.0L / 3};
    for (int j = 0; j < 3; ++j) {
        long double sum = 0;
        for (int i = 0; i < 16; ++i) sum += kRules[j].weights[i];
        EXPECT_LE(UlpDistance(sum, sums[j]), kUlps4) << kRules[j].name;
    }
}

// A 16-point Gauss rule integrates x^k·(1 - x)^α exactly for k ≤ 31 and not beyond: a good table
// is within ~10 ulps through k = 31 (an ulp off in an end node costs about that much at k = 31),
// and the first inexact degrees miss by hundreds of ulps (about 50 at k = 32, 800 at k = 33).
TEST(QuadratureTables, ExactThroughDegree31) {
    for (const Rule& rule : kRules) {
        for (int i = 0; i < 16; ++i) {
            EXPECT_GT(rule.weights[i], 0.0L) << rule.name << " " << i;
            if (i > 0) {
                EXPECT_GT(rule.nodes[i], rule.nodes[i - 1]) << rule.name << " " << i;
            }
        }
        long double moment = 1 / (rule.alpha + 1);  // ∫₀¹ x^k (1 - x)^α dx by recurrence
        for (int k = 0; k <= 33; ++k) {
            if (k > 0) moment = moment * k / (k + rule.alpha + 1);
            long double sum = 0;
            for (int i = 0; i < 16; ++i) sum += rule.weights[i] * std::pow(rule.nodes[i], k);
            if (k <= 31) {
                EXPECT_LE(UlpDistance(sum, moment), kUlps16) << rule.name << " k " << k;
            } else if (k == 33) {
                EXPECT_GT(UlpDistance(sum, moment), 200.0L) << rule.name << " k " << k;
            }
        }
    }
}

}  // namespace
