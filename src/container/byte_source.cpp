#include "container/byte_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/error.hpp"

namespace lumira {

std::size_t MemorySource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    const std::uint64_t count = std::min<std::uint64_t>(out.size(), available(offset));
    if (count != 0) std::memcpy(out.data(), data_.data() + offset, count);
    return static_cast<std::size_t>(count);
}

std::span<const std::uint8_t> MemorySource::cachedFrom(std::uint64_t offset) {
    if (offset >= size_) return {};
    return data_.subspan(static_cast<std::size_t>(offset));
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

std::size_t DescriptorSource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    const std::uint64_t count = std::min<std::uint64_t>(out.size(), available(offset));
    out = out.first(static_cast<std::size_t>(count));
    if (count == 0) return 0;
    if (count >= directReadSize) return readDirect(offset, out);

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

}  // namespace lumira
