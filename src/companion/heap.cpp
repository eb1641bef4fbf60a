// glibc adapts its heap to a program: a freed block that was mapped on its
// own raises the size from which blocks are mapped on their own to its size,
// and the free space the heap keeps at its top to twice that. Until the
// program has freed one large block, both are 128 KB: a whole file's
// arrays (a spectrum's float32 values and float64 axis for every block,
// about three times the file) freed together go back to the system, and
// the next file maps and faults in the same memory again, page by page,
// while reading its blocks one at a time never passes the threshold. So
// before a file's arrays are made, one block of the needed size is mapped
// and freed, which is what glibc sees when any NumPy program frees a large
// array: the heap then keeps that memory between files. The sizes glibc
// itself caps (32 MB) bound what is kept.
#include "companion/heap.hpp"

#include <atomic>
#include <cstdlib>

namespace lumira::companion {

namespace {

constexpr std::uint64_t smallest = 256 * 1024;
constexpr std::uint64_t largest = 32 * 1024 * 1024;  // glibc's own cap for 64-bit systems

std::atomic<std::uint64_t> prepared{0};

}  // namespace

void keepHeapFor(std::uint64_t bytes) noexcept {
#if defined(__GLIBC__)
    // Kept space is twice the block, and the block at least the results' size: the free space already at the
    // heap's top (often a few hundred KB after imports) adds to what the freed results leave there, and a
    // top past the kept space is given back. Powers of two, so this happens rarely.
    std::uint64_t block = smallest;
    while (block < bytes && block < largest) block *= 2;
    std::uint64_t known = prepared.load(std::memory_order_relaxed);
    if (block <= known || !prepared.compare_exchange_strong(known, block, std::memory_order_relaxed)) return;
    // Its pages are never touched: mapping and unmapping it costs two system calls.
    void* volatile mapped = std::malloc(static_cast<std::size_t>(block) + 1);  // volatile: kept by the optimiser
    std::free(mapped);
#else
    (void)bytes;
#endif
}

}  // namespace lumira::companion
