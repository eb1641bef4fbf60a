// Opening a source and planning its file: a path natively and without the
// lock where the platform's open takes it, contents and readers through
// their byte sources, anything else with the host's open (which also raises
// the host's error for a path that cannot be opened).
#include "companion/sources.hpp"
#include "companion/whole_file.hpp"
#include "module/opus_file.hpp"

namespace lumira::companion {

std::pair<std::unique_ptr<module::OpenFile>, FilePlan> openAndPlan(py::Borrowed module, py::Borrowed source,
                                                                    const Selection& selection) {
    std::unique_ptr<module::OpenFile> file;
    FilePlan plan;
    if (isOtherSource(source)) {
        file = openThroughHost(module, source, selection, plan);
        return {std::move(file), std::move(plan)};
    }
    if (const auto native = module::nativePath(module, source)) {
        std::exception_ptr failure;
        {
            py::ReleasedGil unlocked;
            try {
                file = module::OpenFile::adopt(openPath(native->text(), wholeFileLimit));
                if (file) plan = planFile(file->source(), selection);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
        if (file) return {std::move(file), std::move(plan)};
    }
    file = openThroughHost(module, source, selection, plan);
    return {std::move(file), std::move(plan)};
}

std::unique_ptr<module::OpenFile> openThroughHost(py::Borrowed module, py::Borrowed source,
                                                  const Selection& selection, FilePlan& plan) {
    std::unique_ptr<module::OpenFile> file;
    if (isOtherSource(source)) {
        OpenedPath opened;
        opened.source = otherSource(source);
        file = module::OpenFile::adopt(std::move(opened));
    } else {
        file = module::OpenFile::throughHost(source);
    }
    ShortReads none;
    plan = module::parseUnlocked(module, none, [&] { return planFile(file->source(), selection); });
    return file;
}

}  // namespace lumira::companion
