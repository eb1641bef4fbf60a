#include "companion/sources.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/python.hpp"

namespace lumira::companion {

namespace {

// Holds the interpreter lock for its lifetime, whether or not this thread
// held it before: sources are read with the lock released, and by helper
// threads that never had it.
class HeldGil {
public:
    HeldGil() noexcept : state_(PyGILState_Ensure()) {}
    ~HeldGil() { PyGILState_Release(state_); }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;

private:
    PyGILState_STATE state_;
};

// Contents in memory, kept exported (a bytearray cannot be resized under
// the reader) until the source goes.
class BufferSource final : public ByteSource {
public:
    explicit BufferSource(py::Borrowed object) {
        py::check(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE));
        size_ = static_cast<std::uint64_t>(view_.len);
        memory_ = std::make_unique<MemorySource>(
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)));
    }
    ~BufferSource() override {
        const HeldGil held;
        PyBuffer_Release(&view_);
    }
    BufferSource(const BufferSource&) = delete;
    BufferSource& operator=(const BufferSource&) = delete;

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
        return memory_->readAt(offset, out);
    }
    std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) override { return memory_->cachedFrom(offset); }
    // Siblings live within a read of this source, so they may share its memory.
    std::unique_ptr<ByteSource> sibling() const override { return memory_->sibling(); }

private:
    Py_buffer view_{};
    std::unique_ptr<MemorySource> memory_;
};

// A reader of byte ranges. Small reads are served from a window, as from a
// file; large ones go straight into the caller's memory, a stretch of at most
// `largestCall` bytes per call.
class ReaderSource final : public ByteSource {
public:
    ReaderSource(py::Ref reader, std::uint64_t size) noexcept : reader_(std::move(reader)) { size_ = size; }
    ~ReaderSource() override {
        const HeldGil held;
        reader_ = py::Ref();
    }
    ReaderSource(const ReaderSource&) = delete;
    ReaderSource& operator=(const ReaderSource&) = delete;

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
        out = out.first(static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), available(offset))));
        if (out.size() >= windowSize) return fill(offset, out, true);
        return readThroughCache(offset, out);
    }

    std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) override {
        if (offset >= size_) return {};
        if (offset < windowStart_ || offset >= windowStart_ + window_.size()) {
            window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(windowSize, available(offset))));
            window_.resize(fill(offset, window_, false));
            windowStart_ = offset;
            ++generation_;
            if (window_.empty()) return {};
        }
        return std::span<const std::uint8_t>(window_).subspan(static_cast<std::size_t>(offset - windowStart_));
    }

    std::size_t readScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces) override {
        // Records: asked for as they are, never through the window. Neighbouring pieces are asked for in one
        // call, through a buffer of their joint size.
        std::size_t done = 0;
        std::vector<std::uint8_t> joint;
        for (std::size_t first = 0; first < pieces.size();) {
            std::size_t last = first + 1;
            std::size_t bytes = pieces[first].size();
            while (last < pieces.size() && bytes + pieces[last].size() <= largestCall) bytes += pieces[last++].size();
            std::size_t got;
            const auto clamped = [&](std::span<std::uint8_t> out) {
                return out.first(
                    static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), available(offset + done))));
            };
            if (last == first + 1) {
                got = fill(offset + done, clamped(pieces[first]), true);
            } else {
                joint.resize(bytes);
                got = fill(offset + done, clamped(joint), true);
                std::size_t placed = 0;
                for (std::size_t k = first; k < last && placed < got; ++k) {
                    const std::size_t count = std::min(pieces[k].size(), got - placed);
                    std::memcpy(pieces[k].data(), joint.data() + placed, count);
                    placed += count;
                }
            }
            done += got;
            if (got < bytes) break;
            first = last;
        }
        return done;
    }

    std::unique_ptr<ByteSource> sibling() const override {
        const HeldGil held;
        return std::make_unique<ReaderSource>(reader_, size_);
    }

    static constexpr std::size_t windowSize = 16 * 1024;
    static constexpr std::size_t largestCall = 4 * 1024 * 1024;

private:
    // Asks the reader for the bytes at [offset, offset + out.size()), as many calls as it takes. `direct`
    // says they are wanted once (records), not looked up again (headers, directories, parameters).
    std::size_t fill(std::uint64_t offset, std::span<std::uint8_t> out, bool direct) {
        const HeldGil held;
        std::size_t done = 0;
        while (done < out.size()) {
            const std::size_t got = call(offset + done, out.subspan(done), direct);
            if (got == 0) break;
            done += got;
        }
        return done;
    }

    std::size_t call(std::uint64_t offset, std::span<std::uint8_t> out, bool direct) {
        try {
            py::Ref view = py::Ref::fresh(PyMemoryView_FromMemory(reinterpret_cast<char*>(out.data()),
                                                                  static_cast<Py_ssize_t>(out.size()), PyBUF_WRITE));
            py::Ref at = py::Ref::fresh(PyLong_FromUnsignedLongLong(offset));
            py::Ref got = py::Ref::steal(
                PyObject_CallMethodObjArgs(reader_.get(), py::interned("readinto_at").get(), at.get(), view.get(),
                                           direct ? Py_True : Py_False, nullptr));
            py::Ref failure = got ? py::Ref() : py::takePendingError();
            // A reader that kept the view can no longer reach memory that is not its own.
            py::Ref released = py::Ref::steal(PyObject_CallMethodNoArgs(view.get(), py::interned("release").get()));
            if (failure) {
                PyErr_Clear();
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure.get());
            }
            if (!got || !released) throw py::ErrorAlreadySet{};
            const long long count = PyLong_AsLongLong(got.get());
            if (count == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
            if (count < 0 || static_cast<unsigned long long>(count) > out.size()) {
                PyErr_Format(PyExc_ValueError, "readinto_at returned %lld for a view of %zu bytes", count, out.size());
                throw py::ErrorAlreadySet{};
            }
            return static_cast<std::size_t>(count);
        } catch (const py::ErrorAlreadySet&) {
            keepFailure();
            return 0;
        }
    }

    // The first failure stays on the reader for the package to raise.
    void keepFailure() noexcept {
        py::Ref failure = py::takePendingError();
        py::Ref kept = py::Ref::steal(PyObject_GetAttrString(reader_.get(), "failure"));
        if (!kept) PyErr_Clear();
        if (!kept || kept.get() == Py_None) {
            if (PyObject_SetAttrString(reader_.get(), "failure", failure ? failure.get() : Py_None) < 0) PyErr_Clear();
        }
    }

    py::Ref reader_;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0;
};

}  // namespace

bool isOtherSource(py::Borrowed source) {
    if (PyObject_CheckBuffer(source.get())) return true;
    // A path is never a reader, and asking a text for an attribute it lacks
    // makes and clears an exception (about 2% of a whole-file read's time).
    if (PyUnicode_Check(source.get())) return false;
    return PyObject_HasAttrString(source.get(), "readinto_at") == 1;
}

std::unique_ptr<ByteSource> otherSource(py::Borrowed source) {
    if (PyObject_CheckBuffer(source.get())) return std::make_unique<BufferSource>(source);
    if (!isOtherSource(source)) return nullptr;
    py::Ref size = py::attr(source, "size");
    const long long bytes = PyLong_AsLongLong(size.get());
    if (bytes == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    if (bytes < 0) {
        PyErr_SetString(PyExc_ValueError, "a reader's size is not negative");
        throw py::ErrorAlreadySet{};
    }
    return std::make_unique<ReaderSource>(py::Ref::borrow(source), static_cast<std::uint64_t>(bytes));
}

}  // namespace lumira::companion
