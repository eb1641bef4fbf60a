// read_files(paths, workers, data, strict, scale, select, block_type,
//            damaged_type, progress) -> [read_file's tuple or the exception, per path]
//
// Many files at the pace of the slower of two jobs: native threads open,
// read and parse the files ahead (no interpreter lock, no Python objects),
// while the calling thread turns each parsed file into objects. A plain loop
// does both jobs one after the other; here they overlap, and the caller
// takes up the first job itself whenever nothing is ready, so a batch is
// never slower than the loop. Large blocks are copied by `workers` threads
// at once.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "companion/sources.hpp"
#include "companion/whole_file.hpp"
#include "extract/copy_threads.hpp"
#include "module/opus_file.hpp"

namespace lumira::companion {

namespace {

// condition_variable::wait(lock) carries a newer symbol version of the C++
// runtime than anything else of the modules, which would raise the wheels'
// manylinux tag; a timed wait in a loop waits the same.
template <typename Ready>
void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& guard, Ready ready) {
    while (!ready()) condition.wait_for(guard, std::chrono::seconds(1));
}

// Files opened and planned by native threads ahead of the caller, at most a
// window of them. The caller builds whichever file is ready first; when none
// is and a file is still untouched, it opens and plans that one itself, so
// it never waits while there is work it could do.
class Batch {
public:
    struct Slot {
        OpenedPath opened;  // errnum -1: the host's open must be asked
        FilePlan plan;
        std::exception_ptr failure;
    };

    Batch(std::vector<std::optional<std::string>> paths, unsigned workers, const Selection& selection)
        : paths_(std::move(paths)), slots_(paths_.size()), selection_(selection), window_(4 * workers + 4) {
        for (unsigned i = 0; i < workers && i < paths_.size(); ++i) threads_.emplace_back([this] { work(); });
    }

    ~Batch() {
        {
            const std::lock_guard guard(lock_);
            stopping_ = true;
        }
        room_.notify_all();
        threads_.clear();  // joins
    }

    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // The next file for the caller to build: one a worker has made ready, or
    // else one the caller prepares itself. Call without the interpreter lock.
    std::size_t next() {
        std::unique_lock guard(lock_);
        for (;;) {
            if (!ready_.empty()) {
                const std::size_t index = ready_.back();
                ready_.pop_back();
                return index;
            }
            if (next_ < slots_.size()) {
                const std::size_t index = next_++;
                guard.unlock();
                prepare(index);
                return index;
            }
            waiting_ = true;
            waitUntil(readied_, guard, [&] { return !ready_.empty(); });
            waiting_ = false;
        }
    }

    Slot& slot(std::size_t index) { return slots_[index]; }

    // The caller is done with the file: its memory goes, and the workers may
    // open one more.
    void release(std::size_t index) {
        bool wake;
        {
            const std::lock_guard guard(lock_);
            // A file's plan goes back to the workers to be freed: memory is
            // cheapest to free on the thread that allocated it.
            spent_.push_back(std::move(slots_[index]));
            ++built_;
            // Waking a thread costs a system call: the workers are woken
            // when half the window is free, not for every file.
            wake = idle_ > 0 && next_ + window_ / 2 <= built_ + window_;
        }
        if (wake) room_.notify_all();
    }

private:
    void prepare(std::size_t index) {
        Slot& slot = slots_[index];
        if (!paths_[index]) {
            slot.opened.errnum = -1;
            return;
        }
        try {
            slot.opened = openPath(paths_[index]->c_str(), wholeFileLimit);
            if (slot.opened.opened()) slot.plan = planFile(*slot.opened.source, selection_);
        } catch (...) {
            slot.failure = std::current_exception();
        }
    }

    void work() {
        for (;;) {
            std::size_t index;
            std::vector<Slot> spent;
            {
                std::unique_lock guard(lock_);
                const auto open = [&] { return stopping_ || next_ >= slots_.size() || next_ < built_ + window_; };
                if (!open()) {
                    ++idle_;
                    waitUntil(room_, guard, open);
                    --idle_;
                }
                spent.swap(spent_);
                if (stopping_ || next_ >= slots_.size()) return;
                index = next_++;
            }
            spent.clear();
            prepare(index);
            bool wake;
            {
                const std::lock_guard guard(lock_);
                ready_.push_back(index);
                wake = waiting_;
            }
            if (wake) readied_.notify_one();
        }
    }

    std::vector<std::optional<std::string>> paths_;
    std::vector<Slot> slots_;
    const Selection& selection_;  // its native parts only: workers touch no Python object
    const std::size_t window_;
    std::mutex lock_;
    std::condition_variable readied_;
    std::condition_variable room_;
    std::vector<std::size_t> ready_;  // prepared by a worker, not yet taken by the caller
    std::vector<Slot> spent_;         // built, to be freed by a worker
    std::size_t next_ = 0;            // the first file nobody has taken
    std::size_t built_ = 0;
    std::size_t idle_ = 0;  // workers waiting for room
    bool waiting_ = false;  // the caller waits for a file
    bool stopping_ = false;
    std::vector<std::jthread> threads_;
};

py::Ref readOne(py::Borrowed module, py::Borrowed path, Batch::Slot& slot, const Selection& selection,
                const Options& options) {
    if (slot.failure) std::rethrow_exception(slot.failure);
    std::unique_ptr<module::OpenFile> file = module::OpenFile::adopt(std::move(slot.opened));
    // The host's open raises its error, or opens what it alone can.
    if (!file) file = openThroughHost(module, path, selection, slot.plan);
    py::Ref read = readPlannedFile(module, *file, slot.plan, selection, options);
    file->close();
    return read;
}

}  // namespace

PyObject* readFiles(PyObject* module, PyObject* args) {
    return py::boundary([&] {
        PyObject* paths = nullptr;
        int workers = 1;
        CallArguments given;
        PyObject* progress = Py_None;
        if (!PyArg_ParseTuple(args, "O!ipppOO!OO:read_files", &PyList_Type, &paths, &workers, &given.data,
                              &given.strict, &given.scale, &given.select, &PyType_Type, &given.blockType,
                              &given.damagedType, &progress))
            throw py::ErrorAlreadySet{};
        const Options options = given.options();
        const Selection selection = selectionOf(given.select);
        py::Ref names = py::Ref::fresh(PyList_GetSlice(paths, 0, PyList_GET_SIZE(paths)));  // a list of our own
        const auto count = static_cast<std::size_t>(PyList_GET_SIZE(names.get()));
        std::vector<std::optional<std::string>> native(count);
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyList_GET_ITEM(names.get(), static_cast<Py_ssize_t>(i));
            if (isOtherSource(item)) continue;  // contents and readers are read on this thread
            if (const auto path = module::nativePath(module, item)) native[i] = std::string(path->text());
        }

        const CopyThreads copiers(static_cast<unsigned>(std::max(workers, 1)));
        Batch batch(std::move(native), static_cast<unsigned>(std::clamp(workers, 1, 64)), selection);
        std::vector<py::Ref> read(count);
        for (std::size_t done = 0; done < count; ++done) {
            std::size_t index;
            {
                py::ReleasedGil unlocked;
                index = batch.next();
            }
            try {
                read[index] = readOne(module, PyList_GET_ITEM(names.get(), static_cast<Py_ssize_t>(index)),
                                      batch.slot(index), selection, options);
            } catch (...) {
                py::raiseFailure(std::current_exception());
                read[index] = py::takePendingError();
            }
            batch.release(index);
            if (progress != Py_None) py::Ref::fresh(PyObject_CallNoArgs(progress));
            py::check(PyErr_CheckSignals());
        }
        py::Ref reads = py::Ref::fresh(PyList_New(static_cast<Py_ssize_t>(count)));
        for (std::size_t i = 0; i < count; ++i)
            PyList_SET_ITEM(reads.get(), static_cast<Py_ssize_t>(i), read[i].release());
        return reads;
    });
}

}  // namespace lumira::companion
