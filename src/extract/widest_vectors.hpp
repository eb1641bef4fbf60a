// Loops over many values built once per vector width the processor may
// have, the widest it has chosen when the library loads: the same operations
// on more values at once, so the same values.
#pragma once

#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define LUMIRA_WIDEST_VECTORS __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
#endif
#ifndef LUMIRA_WIDEST_VECTORS
#define LUMIRA_WIDEST_VECTORS
#endif
