// How many threads may share the copying of one block's records. One,
// unless a caller raises it for the thread it runs on: the batch reader does,
// so that a large map or series is copied at the speed two threads reach
// (memory bandwidth, not one core, bounds such copies).
#pragma once

#include <cstddef>

namespace lumira {

class CopyThreads {
public:
    explicit CopyThreads(unsigned count) noexcept : saved_(current_) { current_ = count > 0 ? count : 1; }
    ~CopyThreads() { current_ = saved_; }
    CopyThreads(const CopyThreads&) = delete;
    CopyThreads& operator=(const CopyThreads&) = delete;

    static unsigned current() noexcept { return current_; }

    // Below this many bytes a copy is not worth starting a thread for.
    static constexpr std::size_t minimumShare = 4 * 1024 * 1024;

private:
    unsigned saved_;
    static thread_local unsigned current_;
};

}  // namespace lumira
