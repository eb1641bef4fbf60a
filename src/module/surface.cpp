#include "module/surface.hpp"

#include "container/listing.hpp"
#include "core/python.hpp"
#include "module/opus_file.hpp"
#include "module/state.hpp"

namespace lumira::module {

const char* const helpDoc =
    "help($module, /)\n--\n\n"
    "\n    Print a help message containing the available functions.\n    ";

const char* const listContentsDoc =
    "listContents($module, path, /)\n--\n\n"
    "\n    This function returns a list of datablocks for a given file.\n"
    "    Each datablock is identified by blocktype, dimensions and derivative.\n\n"
    "    Args:\n        path (path): Path to file\n\n"
    "    Returns:\n"
    "        list of tuple(str, str, str): List containing a (datablocktype, dimensions, derivative) tuple\n"
    "        for each datablock in the file\n    ";

const char* const isOpusFileDoc =
    "isOpusFile($module, path, /)\n--\n\n"
    "\n    Tests if the given file is an OPUS data file.\n\n"
    "    Args:\n        path (path): Path to file\n\n"
    "    Returns:\n        bool: True if an OPUS file\n    ";

const char* const getOpusDataDoc =
    "getOpusData($module, /, path, datablock)\n--\n\n"
    "\n    This function returns a :obj:`DataReturn` object containing the data and\n"
    "    data parameters for    the specified datablock in the given file.\n\n"
    "    Args:\n"
    "        path (path):       Path to file\n"
    "        datablock (tuple of str): tuple(datablocktype, dimensions, derivative)\n"
    "                                  as returned by .listContents()\n\n"
    "    Returns:\n"
    "        :obj:`DataReturn`: Object containing the requested data and associated\n"
    "        parameters. Data structure is as specified in data.description and\n"
    "        can be one of the three types described in :class:`DataReturn`\n    ";

namespace {

constexpr std::string_view helpLines[] = {
    "This library contains the following functions:",
    "\tlistContents('path') :    This function returns a list containing the data blocks, their dimensions "
    "and derivative type",
    "\tisOpusFile('path'):    This function returns true if the file is an Opus file, false otherwise",
    "\tgetOpusData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called description "
    "(ie: returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type of data block "
    "requested.",
    "\n For more detailed descriptions please consult the documentation.",
};

}  // namespace

const std::array<std::pair<std::string_view, std::string_view>, 34> parameterDescriptions{{
    {"SNM", "Sample Name"},
    {"SFM", "Sample Form"},
    {"CNM", "Operator Name"},
    {"EXP", "Experiment File"},
    {"XPP", "Experiment Path"},
    {"APT", "Aperture Setting"},
    {"BMS", "Beamsplitter Setting"},
    {"LWN", "Laser Wavenumber"},
    {"SRT", "Start Time"},
    {"DAT", "Date"},
    {"TIM", "Local Time"},
    {"NPT", "Number of Data Points"},
    {"FXV", "First X Value"},
    {"LXV", "Last X Value"},
    {"MNY", "Minimum Y Value"},
    {"MXY", "Maximum Y Value"},
    {"DXU", "X Units"},
    {"HFW", "High Frequency Limit"},
    {"LFW", "Low Frequency Limit"},
    {"HPF", "High Pass Filter"},
    {"LPF", "Low Pass Filter"},
    {"NSS", "Number of Sample Scans"},
    {"NSR", "Number of Reference Scans"},
    {"RES", "Resolution"},
    {"INS", "Instrument Type"},
    {"AN1", "Analog Signal 1"},
    {"AN2", "Analog Signal 2"},
    {"APF", "Apodization Function"},
    {"HFQ", "High Frequency Cutofff (FT)"},
    {"LFQ", "Low Frequency Cutoff (FT)"},
    {"PHZ", "Phase Correction Mode"},
    {"PHR", "Phase Resolution"},
    {"ZFF", "Zero Filling Factor"},
    {"ZTX", "Z Axis Label"},
}};

PyObject* help(PyObject*, PyObject*) {
    return py::boundary([] {
        for (std::string_view line : helpLines) py::printLine(line);
        return py::Ref::borrow(Py_None);
    });
}

PyObject* listContents(PyObject* module, PyObject* path) {
    return py::boundary([&] {
        UnpackDecoder decoder(module);
        auto parsed =
            parseOpusFile(module, path, decoder.whenRebound(), [](Cursor& cursor) { return readDirectory(cursor); });
        parsed.file->close();
        const Directory& directory = parsed.result;

        const std::vector<ListedBlock> blocks = listBlocks(directory);
        PyObject* triples = stateOf(module).listedTriples;
        py::Ref list = py::Ref::fresh(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            PyObject* triple = PyTuple_GET_ITEM(triples, static_cast<Py_ssize_t>(blocks[i].kind()));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::Ref::borrow(triple).release());
        }
        return list;
    });
}

}  // namespace lumira::module
