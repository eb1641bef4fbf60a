// Short field reads, reported the way the host reports an exception that a
// function could not raise: the error with its traceback on stderr, then an
// "Exception ignored in" report through the unraisable hook.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "container/cursor.hpp"
#include "core/python.hpp"

namespace lumira::module {

void reportShortReads(py::Borrowed module, const ShortReads& shortReads);

// While one lives, short reads on its thread are collected into it instead of
// reported: callers that refuse damaged files judge them afterwards.
class ShortReadSink {
public:
    explicit ShortReadSink(ShortReads& into) noexcept;
    ~ShortReadSink();
    ShortReadSink(const ShortReadSink&) = delete;
    ShortReadSink& operator=(const ShortReadSink&) = delete;

private:
    ShortReads* saved_;
};

// The exception the module's `unpack` raises for a short read's bytes (the
// one its report shows), or nothing when a rebound `unpack` accepts them.
py::Ref shortReadError(py::Borrowed module, const ShortRead& shortRead);

// The magic test's decoding failure is raised, not reported: call the
// module's `unpack` on the short bytes so the caller gets the host's error.
[[noreturn]] void raiseShortMagic(py::Borrowed module, const std::vector<std::uint8_t>& bytes);

// Runs native parsing with the interpreter lock released. Short reads found
// on the way are reported before any failure of the parse is raised, in the
// order they happened.
template <typename Parse>
auto parseUnlocked(py::Borrowed module, ShortReads& shortReads, Parse&& parse) {
    std::exception_ptr failure;
    using Result = decltype(parse());
    if constexpr (std::is_void_v<Result>) {
        {
            py::ReleasedGil unlocked;
            try {
                parse();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        reportShortReads(module, shortReads);
        shortReads.clear();
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Result> result;
        {
            py::ReleasedGil unlocked;
            try {
                result.emplace(parse());
            } catch (...) {
                failure = std::current_exception();
            }
        }
        reportShortReads(module, shortReads);
        shortReads.clear();
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
}

}  // namespace lumira::module
