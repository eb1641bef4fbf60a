#include "extract/linspace.hpp"

namespace lumira {

// An axis is written once into fresh memory; wider vectors write it in
// fewer steps. Each clone rounds every product and sum on its own, as the
// build forbids fused multiply-add, so every one computes NumPy's values.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define LUMIRA_WIDEST_VECTORS __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
#endif
#ifndef LUMIRA_WIDEST_VECTORS
#define LUMIRA_WIDEST_VECTORS
#endif

LUMIRA_WIDEST_VECTORS void fillEvenlySpaced(double start, double stop, std::span<double> out) {
    evenlySpaced(start, stop, out);
}

}  // namespace lumira
