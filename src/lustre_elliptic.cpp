// Carlson's symmetric elliptic integrals RF, RD and RJ in extended precision.
#include <cmath>
#include <cstring>
#include <limits>

#include "constants.h"
#include "lustre.h"

// =============================================================================================
// Carlson's symmetric elliptic integrals
// =============================================================================================

// Duplication method (Carlson 1995; DLMF 19.36): each pass replaces every argument v by
// (v + λ)/4, which leaves the integral unchanged up to a known factor and shrinks the spread of
// the arguments fourfold; once the scaled spread is at most the mean A, the fifth-order Taylor
// series in the normalised differences X, Y, Z ends the work. Its first omitted term is about
// stop^-6 (2e-24 to 3e-24), below the rounding of the 64-bit significand.

namespace {

constexpr long double kStopRF = 8326.831776556042L;  // (3e-24)^(-1/6)
constexpr long double kStopRD = 8326.831776556042L;  // (3e-24)^(-1/6)
constexpr long double kStopRJ = 8908.987181403392L;  // (2e-24)^(-1/6)

// Every loop ends by itself: a finite stopping quantity, quartered each pass, underflows within
// about 16 420 passes, and an infinite one needs arguments so large that λ overflows and stops
// the loop. The cap only guards that reasoning and is never reached; the arguments of the
// linear term take 7 to 11 passes in RF and RD and 8 to 20 in RJ (about 70 when r is an ulp
// away from δ and the fourth argument is near 1e38).
constexpr int kMaxDuplications = 16500;

constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();

// The integrals diverge when two of x, y, z vanish and are undefined for negative arguments;
// both (and NaN) are answered at once instead of by thousands of passes into underflow.
bool OutsideCarlsonDomain(long double x, long double y, long double z) {
    if (!(x >= 0.0L) || !(y >= 0.0L) || !(z >= 0.0L)) return true;
    return (x == 0.0L) + (y == 0.0L) + (z == 0.0L) >= 2;
}

long double MaxAbs3(long double a, long double b, long double c) {
    return std::fmax(std::fabs(a), std::fmax(std::fabs(b), std::fabs(c)));
}

// The state of the duplication of RF, RD and RJ: the arguments, their mean A, the stopping
// quantity Q and 4^-m after m passes (RJ forms λ from the square roots it also needs, and
// carries its fourth argument itself).
struct Duplication {
    long double x, y, z, A, Q, powinvfour = 1.0L;

    // One pass: every argument and the mean go to (v + λ)/4; returns λ.
    long double Pass() {
        const long double lambda = sqrtl(x * y) + sqrtl(y * z) + sqrtl(x * z);
        Shrink(lambda);
        return lambda;
    }
    void Shrink(long double lambda) {
        A = (A + lambda) / 4;
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        powinvfour /= 4;
        Q /= 4;
    }
};

}  // namespace

long double RF(long double x, long double y, long double z) {
    if (OutsideCarlsonDomain(x, y, z)) return kNaN;
    const long double A0 = (x + y + z) / 3;
    const long double AmxF = A0 - x, AmyF = A0 - y, AmzF = A0 - z;
    Duplication d{x, y, z, A0, MaxAbs3(AmxF, AmyF, AmzF) * kStopRF};
    int passes = 0;
    do {
        if (++passes > kMaxDuplications) return kNaN;
        d.Pass();
    } while (d.Q > d.A);  // strict: equality ends the loop
    const long double powinvfour = d.powinvfour, AmF = d.A;
    const long double X = AmxF * powinvfour / AmF;
    const long double Y = AmyF * powinvfour / AmF;
    const long double Z = AmzF * powinvfour / AmF;  // its own difference, not -(X + Y)
    const long double E2 = X * Y - Z * Z;
    const long double E3 = X * Y * Z;
    return 1 / sqrtl(AmF) * (1 - E2 / 10 + E3 / 14 + E2 * E2 / 24 - 3 * E2 * E3 / 44);
}

long double RD(long double x, long double y, long double z) {
    if (OutsideCarlsonDomain(x, y, z)) return kNaN;
    const long double A0 = (x + y + 3 * z) / 5;
    const long double AmxD = A0 - x, AmyD = A0 - y, AmzD = A0 - z;
    Duplication d{x, y, z, A0, MaxAbs3(AmxD, AmyD, AmzD) * kStopRD};
    long double sumD = 0.0L;
    int passes = 0;
    do {
        if (++passes > kMaxDuplications) return kNaN;
        const long double zm = d.z, weight = d.powinvfour;  // before the pass
        const long double lambda = d.Pass();
        sumD += weight / (sqrtl(zm) * (zm + lambda));
    } while (d.Q > d.A);
    const long double powinvfour = d.powinvfour, AmD = d.A;
    const long double X = AmxD * powinvfour / AmD;
    const long double Y = AmyD * powinvfour / AmD;
    const long double Z = -(X + Y) / 3;
    const long double E2 = X * Y - 6 * (Z * Z);
    const long double E3 = (3 * X * Y - 8 * (Z * Z)) * Z;
    const long double E4 = 3 * (X * Y - Z * Z) * (Z * Z);
    const long double E5 = X * Y * (Z * Z * Z);
    return powinvfour / sqrtl(AmD * AmD * AmD) *
               (1 - 3 * E2 / 14 + E3 / 6 + 9 * (E2 * E2) / 88 - 3 * E4 / 22 - 9 * E2 * E3 / 52 +
                3 * E5 / 26) +
           3 * sumD;
}

// The sum of Carlson's RC terms is written without RC: with δ0 = (p - x)(p - y)(p - z), pass m
// adds 6·4^-m·RC(1, 1 + e_m)/d_m, e_m = 4^-3m·δ0/d_m², which is an arc tangent for δ0 > 0 and
// an area tangent, written ln((d + s)/(d - s)) = ln(1 + 2s/(d - s)), for δ0 < 0. `sqdelta8`
// carries 8^-m·√|δ0| and `powertwo` 2^m·6/√|δ0| (3/√|δ0| with the ½ of the artanh folded in).
long double RJ(long double x, long double y, long double z, long double p) {
    if (OutsideCarlsonDomain(x, y, z) || !(p > 0.0L)) return kNaN;
    const long double A0 = (x + y + z + 2 * p) / 5;
    const long double AmxJ = A0 - x, AmyJ = A0 - y, AmzJ = A0 - z, AmpJ = A0 - p;
    const long double Q = std::fmax(MaxAbs3(AmxJ, AmyJ, AmzJ), std::fabs(AmpJ)) * kStopRJ;
    Duplication d{x, y, z, A0, Q};
    long double pm = p, sumJ = 0.0L;
    const long double sqdelta0 = (p - x) * (p - y) * (p - z);
    long double sqdelta8 = sqrtl(std::fabs(sqdelta0));
    const int sgn = sqdelta0 == 0.0L ? 0 : (sqdelta0 < 0.0L ? -1 : 1);
    long double powertwo = sgn == 1 ? 6 / sqdelta8 : (sgn == -1 ? 3 / sqdelta8 : 6.0L);
    int passes = 0;
    do {
        if (++passes > kMaxDuplications) return kNaN;
        const long double sqx = sqrtl(d.x), sqy = sqrtl(d.y), sqz = sqrtl(d.z), sqp = sqrtl(pm);
        const long double lambda = sqx * sqy + sqy * sqz + sqx * sqz;
        const long double dm = (sqp + sqx) * (sqp + sqy) * (sqp + sqz);
        if (sgn == 0) {
            sumJ += 6 * d.powinvfour / dm;
        } else if (sgn == 1) {
            sumJ += powertwo * atan2l(sqdelta8, dm);
        } else {
            const long double t = 2 * sqdelta8 / (dm - sqdelta8);
            sumJ += powertwo * logl(1 + t);
        }
        d.Shrink(lambda);
        pm = (pm + lambda) / 4;
        sqdelta8 /= 8;
        powertwo *= 2;
    } while (Q * d.powinvfour > d.A);
    const long double powinvfour = d.powinvfour, AmJ = d.A;
    const long double X = AmxJ * powinvfour / AmJ;
    const long double Y = AmyJ * powinvfour / AmJ;
    const long double Z = AmzJ * powinvfour / AmJ;
    const long double P = (-X - Y - Z) / 2;
    const long double XYZ = X * Y * Z;
    const long double E2 = X * Y + X * Z + Y * Z - 3 * (P * P);
    const long double E3 = XYZ + 2 * E2 * P + 4 * (P * P * P);
    const long double E4 = (2 * XYZ + E2 * P + 3 * (P * P * P)) * P;
    const long double E5 = XYZ * (P * P);
    return powinvfour / sqrtl(AmJ * AmJ * AmJ) *
               (1 - 3 * E2 / 14 + E3 / 6 + 9 * (E2 * E2) / 88 - 3 * E4 / 22 - 9 * E2 * E3 / 52 +
                3 * E5 / 26) +
           sumJ;
}
