// Evenly spaced values computed exactly as NumPy's linspace computes them
// for float64 (endpoint included): each value goes through the same
// operations, each rounded on its own, so every value is bit for bit NumPy's.
#pragma once

#include <cstdint>
#include <climits>
#include <span>

namespace lumira {

// Fills `out` (out.size() = number of samples) from `start` to `stop`.
inline void evenlySpaced(double start, double stop, std::span<double> out) {
    const std::size_t count = out.size();
    const double delta = stop - start;
    if (count > 1) {
        const auto intervals = static_cast<double>(count - 1);
        const double step = delta / intervals;
        if (step == 0) {  // subnormal steps: divide first, as NumPy does
            for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<double>(i) / intervals * delta + start;
        } else if (count <= static_cast<std::size_t>(INT32_MAX)) {
            // 32-bit indices convert to double in vector registers; the values are the same.
            double* values = out.data();
            const auto n = static_cast<std::int32_t>(count);
            for (std::int32_t i = 0; i < n; ++i) values[i] = static_cast<double>(i) * step + start;
        } else {
            for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<double>(i) * step + start;
        }
        out[count - 1] = stop;
    } else if (count == 1) {
        out[0] = 0.0 * delta + start;
    }
}

// evenlySpaced, built for the widest vectors the processor has: the same
// operations on more values at once, so the same values.
void fillEvenlySpaced(double start, double stop, std::span<double> out);

}  // namespace lumira
