#pragma once

#include <cmath>
#include <numbers>

namespace morvale {

// Second-order section, normalised so a0 = 1, in transposed direct form II with double-precision state.
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double z1 = 0.0, z2 = 0.0;

    double step(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }

    // The audio-EQ cookbook's second-order high-pass.
    static Biquad highPass(double frequency, double sampleRate, double q) {
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
        const double alpha = std::sin(w) / (2.0 * q);
        const double a0 = 1.0 + alpha;
        const double c = std::cos(w);
        Biquad f;
        f.b0 = (1.0 + c) / 2.0 / a0;
        f.b1 = -(1.0 + c) / a0;
        f.b2 = f.b0;
        f.a1 = -2.0 * c / a0;
        f.a2 = (1.0 - alpha) / a0;
        return f;
    }

    // Narrow notch (Q 35) at `frequency`, for mains hum and its harmonics.
    static Biquad notch(double frequency, double sampleRate) {
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
        const double alpha = std::sin(w) / 70.0;
        const double a0 = 1.0 + alpha;
        Biquad f;
        f.b0 = 1.0 / a0;
        f.b2 = f.b0;
        f.b1 = -2.0 * std::cos(w) / a0;
        f.a1 = f.b1;
        f.a2 = (1.0 - alpha) / a0;
        return f;
    }
};

// The ITU-R BS.1770 K-weighting (high shelf, then high pass), designed afresh for each sample rate.
struct KWeighting {
    Biquad s1;
    Biquad s2;

    explicit KWeighting(double sampleRate) {
        {
            constexpr double f0 = 1681.974450955533;
            constexpr double q = 0.7071752369554196;
            constexpr double vh = 1.5848647011308556;
            constexpr double vb = 1.2587209302325617;
            const double k = std::tan(std::numbers::pi * f0 / sampleRate);
            const double a0 = 1.0 + k / q + k * k;
            s1.b0 = (vh + vb * k / q + k * k) / a0;
            s1.b1 = 2.0 * (k * k - vh) / a0;
            s1.b2 = (vh - vb * k / q + k * k) / a0;
            s1.a1 = 2.0 * (k * k - 1.0) / a0;
            s1.a2 = (1.0 - k / q + k * k) / a0;
        }
        {
            constexpr double f0 = 38.13547087602444;
            constexpr double q = 0.5003270373238773;
            const double k = std::tan(std::numbers::pi * f0 / sampleRate);
            const double a0 = 1.0 + k / q + k * k;
            s2.b0 = 1.0;
            s2.b1 = -2.0;
            s2.b2 = 1.0;
            s2.a1 = 2.0 * (k * k - 1.0) / a0;
            s2.a2 = (1.0 - k / q + k * k) / a0;
        }
    }

    double step(double x) { return s2.step(s1.step(x)); }
};

}  // namespace morvale
