#include "container/directory.hpp"
#include "extract/parameters.hpp"
#include "extract/python/arguments.hpp"
#include "extract/python/call.hpp"
#include "extract/python/parameters.hpp"
#include "module/opus_file.hpp"
#include "module/reports.hpp"
#include "module/state.hpp"
#include "results/classes.hpp"

namespace lumira::extract {

namespace {

struct Located {
    LocatedBlocks blocks;
    Parameters parameters;
    TextEncoding encoding = TextEncoding::Cp1252;
};

// The directory, the block search and the merged parameter records, in one
// pass without the interpreter lock.
module::ParsedFile<Located> locate(py::Borrowed module, py::Borrowed path, const RequestCodes& codes,
                                   FieldDecoder* decoder) {
    return module::parseOpusFile(module, path, decoder, [&](Cursor& cursor) {
        const Directory directory = readDirectory(cursor);
        Located located{locateBlocks(directory, codes), {}};
        if (located.blocks.foundDataBlock())
            located.parameters = readMergedParameters(cursor, located.blocks, &located.encoding);
        return located;
    });
}

}  // namespace

py::Ref makeResult(OpusDataCall& call, const char* className,
                   std::initializer_list<std::pair<const char*, py::Borrowed>> keywords) {
    return construct(call.module, className, std::span<const py::Keyword>(keywords.begin(), keywords.size()));
}

py::Ref construct(py::Borrowed module, const char* className, std::span<const py::Keyword> keywords) {
    py::Ref resultClass = py::moduleName(module, className);
    return results::construct(module::stateOf(module).knownClasses, resultClass, className, keywords);
}

PyObject* getOpusData(PyObject* module, PyObject* args, PyObject* kwargs) {
    return py::boundary([&] {
        const OpusDataArguments arguments = parseOpusDataArguments(args, kwargs);
        const Request request = resolveRequest(arguments.datablock);
        module::UnpackDecoder unpackDecoder(module);
        FieldDecoder* decoder = unpackDecoder.whenRebound();
        auto [file, located] = locate(module, arguments.path, request.codes, decoder);
        if (!located.blocks.foundDataBlock()) raiseNoDataBlock(request);

        OpusDataCall call{module,  *file,   request, located.blocks, parameterDict(located.parameters, located.encoding),
                          decoder, false, nullptr, located.encoding};
        return request.threeD ? readThreeDimensional(call) : readSingleSpectrum(call);
    });
}

}  // namespace lumira::extract
