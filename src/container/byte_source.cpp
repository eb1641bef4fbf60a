#include "container/byte_source.hpp"

#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/error.hpp"

namespace lumira {

std::size_t ByteSource::readScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces) {
    std::size_t done = 0;
    for (const auto piece : pieces) {
        const std::size_t got = readAt(offset + done, piece);
        done += got;
        if (got < piece.size()) break;
    }
    return done;
}

std::size_t ByteSource::readThroughCache(std::uint64_t offset, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const auto cached = cachedFrom(offset + done);
        if (cached.empty()) break;
        const std::size_t take = std::min(cached.size(), out.size() - done);
        std::memcpy(out.data() + done, cached.data(), take);
        done += take;
    }
    return done;
}

std::size_t MemorySource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    const std::uint64_t count = std::min<std::uint64_t>(out.size(), available(offset));
    if (count != 0) std::memcpy(out.data(), data_.data() + offset, count);
    return static_cast<std::size_t>(count);
}

std::span<const std::uint8_t> MemorySource::cachedFrom(std::uint64_t offset) {
    if (offset >= size_) return {};
    return data_.subspan(static_cast<std::size_t>(offset));
}

namespace {

// Buffers below this size are not worth keeping; larger ones are kept at
// their size. A few are kept, shared by all threads: a batch opens files on
// some threads and lets them go on another.
constexpr std::size_t smallestKept = 64 * 1024;
constexpr std::size_t buffersKept = 32;

struct SpareBuffers {
    std::mutex lock;
    std::vector<std::pair<std::unique_ptr<std::uint8_t[]>, std::size_t>> buffers;
};

SpareBuffers& spares() {
    static SpareBuffers kept;
    return kept;
}

}  // namespace

FileBuffer::FileBuffer(std::size_t size) {
    {
        SpareBuffers& kept = spares();
        const std::lock_guard guard(kept.lock);
        for (auto& [bytes, capacity] : kept.buffers) {
            if (capacity < size) continue;
            bytes_ = std::move(bytes);
            capacity_ = capacity;
            std::swap(bytes, kept.buffers.back().first);
            std::swap(capacity, kept.buffers.back().second);
            kept.buffers.pop_back();
            return;
        }
    }
    capacity_ = std::max(size, smallestKept);
    bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
}

FileBuffer::~FileBuffer() {
    if (!bytes_) return;
    SpareBuffers& kept = spares();
    const std::lock_guard guard(kept.lock);
    if (kept.buffers.size() < buffersKept) kept.buffers.emplace_back(std::move(bytes_), capacity_);
}

std::unique_ptr<ByteSource> MemorySource::sibling() const { return std::make_unique<MemorySource>(data_); }

std::unique_ptr<ByteSource> DescriptorSource::sibling() const {
    return std::make_unique<DescriptorSource>(descriptor_, size_);  // the file as this source saw it
}

DescriptorSource::DescriptorSource(int descriptor) : descriptor_(descriptor) {
    struct stat status{};
    if (fstat(descriptor, &status) != 0) failOS(errno);
    size_ = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

std::size_t DescriptorSource::readDirect(std::uint64_t offset, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = pread(descriptor_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            failOS(errno);
        }
        if (got == 0) break;  // the file shrank since fstat
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void DescriptorSource::loadWindow(std::uint64_t offset) {
    // Windows start on page boundaries, so neighbouring reads share one.
    windowStart_ = offset & ~std::uint64_t{4095};
    window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(windowSize, size_ - windowStart_)));
    window_.resize(readDirect(windowStart_, window_));
    ++generation_;
}

std::span<const std::uint8_t> DescriptorSource::cachedFrom(std::uint64_t offset) {
    if (offset >= size_) return {};
    const bool inWindow = offset >= windowStart_ && offset < windowStart_ + window_.size();
    if (!inWindow) loadWindow(offset);
    if (offset >= windowStart_ + window_.size()) return {};  // the file shrank
    return std::span<const std::uint8_t>(window_).subspan(static_cast<std::size_t>(offset - windowStart_));
}

std::size_t DescriptorSource::readScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces) {
    // One system call reads up to IOV_MAX pieces; a short read resumes inside its piece.
    std::uint64_t wanted = available(offset);
    std::vector<iovec> batch;
    std::size_t done = 0;
    std::size_t next = 0;
    std::size_t skipInNext = 0;
    while (next < pieces.size() && done < wanted) {
        batch.clear();
        std::uint64_t asked = 0;
        for (std::size_t i = next; i < pieces.size() && batch.size() < IOV_MAX && done + asked < wanted; ++i) {
            const std::size_t skip = i == next ? skipInNext : 0;
            const std::uint64_t length = std::min<std::uint64_t>(pieces[i].size() - skip, wanted - done - asked);
            batch.push_back({pieces[i].data() + skip, static_cast<std::size_t>(length)});
            asked += length;
        }
        const ssize_t got =
            preadv(descriptor_, batch.data(), static_cast<int>(batch.size()), static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            failOS(errno);
        }
        if (got == 0) break;  // the file shrank since fstat
        done += static_cast<std::size_t>(got);
        // Advance past the pieces this read filled.
        std::size_t left = static_cast<std::size_t>(got);
        while (left > 0) {
            const std::size_t room = pieces[next].size() - skipInNext;
            if (left < room) {
                skipInNext += left;
                left = 0;
            } else {
                left -= room;
                ++next;
                skipInNext = 0;
            }
        }
        while (next < pieces.size() && pieces[next].size() == skipInNext) {
            ++next;
            skipInNext = 0;
        }
    }
    return done;
}

std::size_t DescriptorSource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    const std::uint64_t count = std::min<std::uint64_t>(out.size(), available(offset));
    out = out.first(static_cast<std::size_t>(count));
    if (count == 0) return 0;
    const bool inWindow = offset >= windowStart_ && offset + count <= windowStart_ + window_.size();
    if (count >= directReadSize && !inWindow) return readDirect(offset, out);

    return readThroughCache(offset, out);
}

}  // namespace lumira
