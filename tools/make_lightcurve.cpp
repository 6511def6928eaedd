// Writes the bundled example: a synthetic light curve of a hot Jupiter made with the tool's own
// model (quadratic limb darkening) plus Gaussian noise of a fixed seed.
//
//     make_lightcurve > examples/hotjupiter.txt
//
// The true values are printed as a comment at the top of the table.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "constants.h"
#include "optimize.h"

namespace {

// True values of the example.
constexpr long double kPeriod = 3.2L;            // days
constexpr long double kTshift = 1.6L;            // days: the first of two transits
constexpr long double kRsun = 0.115L;            // R*/a  (a/R* = 8.696)
constexpr long double kRplanet = 0.0138L;        // Rp/a  (Rp/R* = 0.12)
constexpr long double kInclination = 86.8L;      // degrees
constexpr long double kU1 = 0.36L, kU2 = 0.22L;  // quadratic law
constexpr long double kNoise = 250e-6L;          // per point
constexpr long double kCadence = 2.0L / 1440;    // two minutes, in days
constexpr int kPoints = 6912;                    // 9.6 days: three transits

// Standard normal deviates by the Box-Muller transform from a 64-bit Mersenne twister, so the
// table is the same with every standard library.
class Gaussian {
   public:
    explicit Gaussian(std::uint64_t seed) : gen_(seed) {}
    long double operator()() {
        const long double u1 = (gen_() >> 11) * 0x1p-53L + 0x1p-54L;  // (0, 1)
        const long double u2 = (gen_() >> 11) * 0x1p-53L;
        return std::sqrt(-2.0L * std::log(u1)) * std::cos(2.0L * kPi * u2);
    }

   private:
    std::mt19937_64 gen_;
};

}  // namespace

int main() {
    std::vector<long double> data(3 * kPoints);
    for (int i = 0; i < kPoints; ++i) {
        data[3 * i] = i * kCadence;
        data[3 * i + 2] = kNoise;
    }
    long double par[6] = {0.0L, 0.0L, 0.0L, 0.0L, kRsun, kRplanet};
    const long double ci = std::cos((kInclination * kPi) / 180.0L);
    par[3] = ci * ci;
    par[2] = 90.0L * 0.017453292519943295769L;
    par[0] = phase_parameter(kTshift, kPeriod, par);

    const int ldflag = 1 | 2 | 4;
    std::vector<long double> basis(3 * kPoints);
    der_set_norm_ci(basis.data(), data.data(), kPoints, kPeriod, par, 0, ldflag);
    const long double S = kPi - (kPi / 3) * kU1 - (kPi / 6) * kU2;  // disc-integrated intensity
    const long double c1 = kU1 / S, c2 = kU2 / S;

    std::printf(
        "# synthetic hot Jupiter: tshift %.4Lf, period %.4Lf, inclination %.2Lf, "
        "rsun %.4Lf, rplanet %.5Lf, e 0, lin %.2Lf, quad %.2Lf, noise %.0Lf ppm\n",
        kTshift, kPeriod, kInclination, kRsun, kRplanet, kU1, kU2, kNoise * 1e6L);
    std::printf("# time [d]  relative flux  uncertainty\n");
    Gaussian noise(1);
    for (int i = 0; i < kPoints; ++i) {
        const long double* B = &basis[3 * i];
        const long double flux = B[0] + c1 * B[1] + c2 * B[2] + kNoise * noise();
        std::printf("%.8Lf %.7Lf %.7Lf\n", data[3 * i], flux, kNoise);
    }
    return 0;
}
