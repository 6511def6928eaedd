// Carlson's symmetric integrals against the reference values of tests/data/carlson.txt: closed
// forms, symmetry and homogeneity, the complete integrals up to m = 1 - 1e-4000, each branch of
// the RC sums of RJ, the domain guards, and the worst arguments of the linear term (the spread of
// the arguments sets the number of duplication passes; a pass cap would end with NaN).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lustre.h"
#include "test_util.h"

TEST(Carlson, ReferenceValues) {
    const auto cases = ReadRefCases(SOURCE_DIR "/tests/data/carlson.txt");
    ASSERT_GT(cases.size(), 100u);
    for (const RefCase& c : cases) {
        const auto& a = c.args;
        const long double got = c.name == "RF"   ? RF(a.at(0), a.at(1), a.at(2))
                                : c.name == "RD" ? RD(a.at(0), a.at(1), a.at(2))
                                                 : RJ(a.at(0), a.at(1), a.at(2), a.at(3));
        EXPECT_TRUE(c.Meets(got)) << c.line << "\n got" << Show({got});
    }
}

// Non-finite arguments, and finite ones so far apart that the stopping quantity overflows while
// the running mean stays finite, end with a number or NaN.
TEST(Carlson, EndsOnNonFiniteArguments) {
    const long double inf = INFINITY, huge = std::numeric_limits<long double>::max();
    const long double tiny = std::numeric_limits<long double>::denorm_min();
    for (long double v :
         {RF(inf, 1, 1), RF(-inf, 1, 1), RD(1, 1, inf), RJ(1, inf, 1, 1), RJ(0, 1, 1, inf),
          RF(huge, tiny, 1), RD(tiny, huge, huge), RJ(huge, tiny, 1, huge)})
        EXPECT_TRUE(std::isfinite(v) || std::isnan(v));
}
