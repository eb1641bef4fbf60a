// Opening a file that must be an OPUS file, shared by the public functions.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "container/directory.hpp"
#include "core/python.hpp"
#include "module/open_file.hpp"
#include "module/reports.hpp"

namespace lumira::module {

PyObject* isOpusFile(PyObject* module, PyObject* path);

// The module's `isOpusFile` is still this module's own function.
bool testsMagicItself(py::Borrowed module);

[[noreturn]] void refuseNonOpus();

// Runs the module's `isOpusFile` on the path (natively on the same open file,
// unless a caller rebound the name) and refuses a file that is not OPUS with
// "Can't process a non-Opus file". Returns the open file.
std::unique_ptr<OpenFile> openOpusFile(py::Borrowed module, py::Borrowed path);

template <typename Result>
struct ParsedFile {
    std::unique_ptr<OpenFile> file;
    Result result;
};

// Opens the file, tests its magic and runs `parse` on it, then reports the
// short reads `parse` recorded (before raising its failure, if any). When
// it can, all of it runs in one stretch without the interpreter lock. The
// cursor decodes fields with `decoder`, when there is one.
template <typename Parse>
auto parseOpusFile(py::Borrowed module, py::Borrowed path, FieldDecoder* decoder, Parse&& parse)
    -> ParsedFile<decltype(parse(std::declval<Cursor&>()))> {
    using Result = decltype(parse(std::declval<Cursor&>()));
    ShortReads shortReads;
    if (testsMagicItself(module) && decoder == nullptr) {
        if (const auto native = nativePath(module, path)) {
            std::unique_ptr<OpenFile> file;
            MagicTest magic;
            std::optional<Result> result;
            std::exception_ptr failure;
            {
                py::ReleasedGil unlocked;
                try {
                    file = OpenFile::natively(*native);
                    if (file) magic = testMagic(file->source());
                    if (file && magic.isOpus) {
                        Cursor cursor(file->source(), shortReads);
                        result.emplace(parse(cursor));
                    }
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            if (file) {
                if (!magic.complete) raiseShortMagic(module, magic.bytes);
                if (!magic.isOpus) refuseNonOpus();
                reportShortReads(module, shortReads);
                if (failure) std::rethrow_exception(failure);
                return {std::move(file), std::move(*result)};
            }
            if (failure) std::rethrow_exception(failure);
            // Not opened: the host's open below raises its own error.
        }
    }
    auto file = openOpusFile(module, path);
    Result result = parseUnlocked(module, shortReads, [&] {
        Cursor cursor(file->source(), shortReads, decoder);
        return parse(cursor);
    });
    return {std::move(file), std::move(result)};
}

}  // namespace lumira::module
