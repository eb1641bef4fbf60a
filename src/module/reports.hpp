// Short field reads, reported the way the host reports an exception that a
// function could not raise: the error with its traceback on stderr, then an
// "Exception ignored in" report through the unraisable hook.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "container/cursor.hpp"
#include "container/directory.hpp"
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

// Whether the module's `unpack` is still the host's struct.unpack, whose
// decoding the native field readers and magic test reproduce.
bool unpackIsGenuine(py::Borrowed module);

// The magic test on the bytes a file starts with: the native verdict while
// `unpack` is genuine (the host's unpacking error for fewer than four bytes),
// else whether unpack(">i", bytes)[0] == 168492798, its errors raised.
bool isOpusMagic(py::Borrowed module, const MagicTest& magic);

// Decodes each field as unpack(format, bytes)[0] with the module's `unpack`,
// looked up at each field, converted to the field's type. A failure (the
// call's, or a value of another type or range) is reported as a short read
// is, at once, and the field reads as zero. Takes the interpreter lock for
// each field, so cursors may use it without holding the lock.
class UnpackDecoder final : public FieldDecoder {
public:
    explicit UnpackDecoder(py::Borrowed module) noexcept : module_(module) {}

    std::optional<std::int64_t> integer(Field field, std::span<const std::uint8_t> bytes) override;
    std::optional<double> real(Field field, std::span<const std::uint8_t> bytes) override;

    // The decoder for one call's cursors: none while `unpack` is genuine.
    FieldDecoder* whenRebound() { return unpackIsGenuine(module_) ? nullptr : this; }

private:
    py::Borrowed module_;
};

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
