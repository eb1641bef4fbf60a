#include "extract/linspace.hpp"

#include "extract/widest_vectors.hpp"

namespace lumira {

// Each clone rounds every product and sum on its own, as the build forbids
// fused multiply-add, so every one computes NumPy's values.
LUMIRA_WIDEST_VECTORS void fillEvenlySpaced(double start, double stop, std::span<double> out) {
    evenlySpaced(start, stop, out);
}

}  // namespace lumira
