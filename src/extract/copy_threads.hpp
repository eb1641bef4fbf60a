// How many threads may share the copying of one block's records. One,
// unless a caller raises it for the thread it runs on: the batch reader does,
// so that a large map or series is copied at the speed two threads reach
// (memory bandwidth, not one core, bounds such copies).
#pragma once

#include <algorithm>
#include <cstddef>

namespace lumira {

class CopyThreads {
public:
    // Below this many bytes a copy is not worth starting a thread for.
    static constexpr std::size_t defaultMinimumShare = 4 * 1024 * 1024;

    // `minimumShare` is lowered only where small copies must take the
    // threaded path too (the fuzz targets, whose inputs are small).
    explicit CopyThreads(unsigned count, std::size_t minimumShare = defaultMinimumShare) noexcept
        : saved_(current_) {
        current_ = {count > 0 ? count : 1, std::max<std::size_t>(minimumShare, 1)};
    }
    ~CopyThreads() { current_ = saved_; }
    CopyThreads(const CopyThreads&) = delete;
    CopyThreads& operator=(const CopyThreads&) = delete;

    static unsigned current() noexcept { return current_.count; }
    static std::size_t minimumShare() noexcept { return current_.minimumShare; }

private:
    struct Setting {
        unsigned count;
        std::size_t minimumShare;
    };
    Setting saved_;
    static thread_local Setting current_;
};

}  // namespace lumira
