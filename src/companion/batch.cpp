// read_files(paths, workers, data, strict, scale, select, block_type,
//            damaged_type, progress) -> [read_file's tuple or the exception, per path]
//
// Many files at the pace of the slower of two jobs: native threads open,
// read and parse the files ahead (no interpreter lock, no Python objects),
// while the calling thread turns each parsed file into objects in order. A
// plain loop does both jobs one after the other; here they overlap, so a
// batch is never slower than the loop. Large blocks are copied by `workers`
// threads at once.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "companion/whole_file.hpp"
#include "extract/copy_threads.hpp"
#include "module/opus_file.hpp"

namespace lumira::companion {

namespace {

// Files opened and planned ahead of the caller, at most a window of them.
class Prefetch {
public:
    struct Slot {
        bool ready = false;
        OpenedPath opened;  // errnum -1: the host's open must be asked
        FilePlan plan;
        std::exception_ptr failure;
    };

    Prefetch(std::vector<std::optional<std::string>> paths, unsigned workers, const Selection& selection)
        : paths_(std::move(paths)), slots_(paths_.size()), selection_(selection), window_(2 * workers + 2) {
        for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    }

    ~Prefetch() {
        {
            const std::lock_guard guard(lock_);
            stopping_ = true;
        }
        room_.notify_all();
        threads_.clear();  // joins
    }

    Prefetch(const Prefetch&) = delete;
    Prefetch& operator=(const Prefetch&) = delete;

    // Waits for the file's turn; call without the interpreter lock.
    Slot& await(std::size_t index) {
        std::unique_lock guard(lock_);
        ready_.wait(guard, [&] { return slots_[index].ready; });
        return slots_[index];
    }

    // The caller is done with the file: its memory goes, and the workers may
    // open one more.
    void release(std::size_t index) {
        const Slot done = std::move(slots_[index]);  // goes at the end of this scope
        {
            const std::lock_guard guard(lock_);
            ++released_;
        }
        room_.notify_one();
    }

private:
    void work() {
        for (;;) {
            std::size_t index;
            {
                std::unique_lock guard(lock_);
                room_.wait(guard, [&] { return stopping_ || next_ >= slots_.size() || next_ < released_ + window_; });
                if (stopping_ || next_ >= slots_.size()) return;
                index = next_++;
            }
            Slot slot;
            if (!paths_[index]) {
                slot.opened.errnum = -1;
            } else {
                try {
                    slot.opened = openPath(paths_[index]->c_str(), wholeFileLimit);
                    if (slot.opened.opened()) slot.plan = planFile(*slot.opened.source, selection_);
                } catch (...) {
                    slot.failure = std::current_exception();
                }
            }
            slot.ready = true;
            {
                const std::lock_guard guard(lock_);
                slots_[index] = std::move(slot);
            }
            ready_.notify_all();
        }
    }

    std::vector<std::optional<std::string>> paths_;
    std::vector<Slot> slots_;
    const Selection& selection_;  // its native parts only: workers touch no Python object
    const std::size_t window_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::size_t next_ = 0;
    std::size_t released_ = 0;
    bool stopping_ = false;
    std::vector<std::jthread> threads_;
};

py::Ref readOne(py::Borrowed module, py::Borrowed path, Prefetch::Slot& slot, const Selection& selection,
                const Options& options) {
    if (slot.failure) std::rethrow_exception(slot.failure);
    std::unique_ptr<module::OpenFile> file = module::OpenFile::adopt(std::move(slot.opened));
    if (!file) {
        file = module::OpenFile::throughHost(path);  // raises the host's error, or opens what it alone can
        ShortReads none;
        slot.plan = module::parseUnlocked(module, none, [&] { return planFile(file->source(), selection); });
    }
    py::Ref read = readPlannedFile(module, *file, slot.plan, selection, options);
    file->close();
    return read;
}

}  // namespace

PyObject* readFiles(PyObject* module, PyObject* args) {
    return py::boundary([&] {
        PyObject* paths = nullptr;
        int workers = 1;
        int data = 1;
        int strict = 1;
        int scale = 1;
        PyObject* select = Py_None;
        PyObject* blockType = nullptr;
        PyObject* damagedType = nullptr;
        PyObject* progress = Py_None;
        if (!PyArg_ParseTuple(args, "O!ipppOO!OO:read_files", &PyList_Type, &paths, &workers, &data, &strict, &scale,
                              &select, &PyType_Type, &blockType, &damagedType, &progress))
            throw py::ErrorAlreadySet{};
        if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(blockType), &PyTuple_Type)) {
            PyErr_SetString(PyExc_TypeError, "the block type must be a tuple type");
            throw py::ErrorAlreadySet{};
        }
        const Options options{data != 0, strict != 0, scale != 0, blockType, damagedType};
        const Selection selection = selectionOf(select);
        py::Ref names = py::Ref::fresh(PyList_GetSlice(paths, 0, PyList_GET_SIZE(paths)));  // a list of our own
        const auto count = static_cast<std::size_t>(PyList_GET_SIZE(names.get()));
        std::vector<std::optional<std::string>> native(count);
        for (std::size_t i = 0; i < count; ++i) {
            if (const auto path = module::nativePath(module, PyList_GET_ITEM(names.get(), static_cast<Py_ssize_t>(i))))
                native[i] = std::string(path->text());
        }

        const CopyThreads copiers(static_cast<unsigned>(std::max(workers, 1)));
        Prefetch prefetch(std::move(native), static_cast<unsigned>(std::clamp(workers, 1, 64)), selection);
        py::Ref reads = py::Ref::fresh(PyList_New(0));
        for (std::size_t i = 0; i < count; ++i) {
            Prefetch::Slot* slot;
            {
                py::ReleasedGil unlocked;
                slot = &prefetch.await(i);
            }
            py::Ref read;
            try {
                read = readOne(module, PyList_GET_ITEM(names.get(), static_cast<Py_ssize_t>(i)), *slot, selection,
                               options);
            } catch (...) {
                py::raiseFailure(std::current_exception());
                read = py::takePendingError();
            }
            prefetch.release(i);
            py::append(reads, read);
            if (progress != Py_None) py::Ref::fresh(PyObject_CallNoArgs(progress));
            py::check(PyErr_CheckSignals());
        }
        return reads;
    });
}

}  // namespace lumira::companion
