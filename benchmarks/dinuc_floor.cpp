// The floor of dinucleotide scoring: the library calls one window cannot
// avoid.  Scoring a window of L positions takes, per position and for each of
// the bias and background tables, four pow(2.0, x) and one log2(y): 8 * L
// pow and 2 * L log2 calls.  This program times exactly those calls on
// arguments like the ones scoring produces (log2 probabilities for pow,
// normalisers in (0, 1] for log2) and prints nanoseconds per window.
//
// usage: dinuc_floor LENGTH WINDOWS REPEATS
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s LENGTH WINDOWS REPEATS\n", argv[0]);
        return 2;
    }
    const long length = std::atol(argv[1]);
    const long windows = std::atol(argv[2]);
    const long repeats = std::atol(argv[3]);

    // Pre-drawn arguments, cycled through, so that drawing them is not timed.
    const size_t pool = 1 << 14;
    std::mt19937_64 engine(12345);
    std::uniform_real_distribution<double> exponent(-40.0, 0.0);
    std::uniform_real_distribution<double> normaliser(1e-6, 1.0);
    std::vector<double> exponents(pool), normalisers(pool);
    for (size_t k = 0; k < pool; ++k) {
        exponents[k] = exponent(engine);
        normalisers[k] = normaliser(engine);
    }

    double best = 1e300;
    double checksum = 0.0;
    for (long r = 0; r < repeats; ++r) {
        size_t next_pow = 0, next_log = 0;
        double sum_pow = 0.0, sum_log = 0.0;
        const auto start = std::chrono::steady_clock::now();
        for (long w = 0; w < windows; ++w) {
            for (long k = 0; k < 8 * length; ++k) {
                sum_pow += std::pow(2.0, exponents[next_pow]);
                next_pow = (next_pow + 1) & (pool - 1);
            }
            for (long k = 0; k < 2 * length; ++k) {
                sum_log += std::log2(normalisers[next_log]);
                next_log = (next_log + 1) & (pool - 1);
            }
        }
        const auto stop = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(stop - start).count();
        best = ns < best ? ns : best;
        checksum += sum_pow + sum_log;
    }
    // Printing the sums keeps the calls from being optimised away.
    std::printf("%.6f %.17g\n", best / static_cast<double>(windows), checksum);
    return 0;
}
