#include "extract/python/request.hpp"

#include <optional>
#include <string_view>

#include "container/block_type.hpp"
#include "core/python.hpp"

namespace lumira::extract {

namespace {

py::Ref upperCasedItem(py::Borrowed datablock, Py_ssize_t index) {
    py::Ref key = py::integer(index);
    py::Ref item = py::Ref::fresh(PyObject_GetItem(datablock, key.get()));
    return py::Ref::fresh(PyObject_CallMethodNoArgs(item.get(), py::interned("upper").get()));
}

// The text of a request item, or nothing when it is not a str (such an item
// matches no table entry; it still has to be hashable, as a table key would).
std::optional<std::string_view> textOf(py::Borrowed item) {
    if (PyUnicode_Check(item.get())) {
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &length);
        if (data == nullptr) {  // lone surrogates: equal to no table entry
            PyErr_Clear();
            return std::string_view("\xff");
        }
        return std::string_view(data, static_cast<std::size_t>(length));
    }
    if (PyObject_Hash(item) == -1) throw py::ErrorAlreadySet{};
    return std::nullopt;
}

// Joins message parts with `+`, so a request item that is not a str fails
// the way the host's concatenation does.
[[noreturn]] void raiseJoined(PyObject* exceptionType, std::initializer_list<py::Borrowed> parts) {
    py::Ref message = py::str("");
    for (py::Borrowed part : parts) message = py::Ref::fresh(PyNumber_Add(message.get(), part));
    PyErr_SetObject(exceptionType, message.get());
    throw py::ErrorAlreadySet{};
}

constexpr std::string_view validTypes =
    "REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC";

}  // namespace

Request resolveRequest(py::Borrowed datablock) {
    Request request;
    request.dataBlockType = upperCasedItem(datablock, 0);
    request.dimensions = upperCasedItem(datablock, 1);
    request.deriv = upperCasedItem(datablock, 2);

    const auto dimensionText = textOf(request.dimensions);
    const auto extendType = dimensionText ? requestedExtendType(*dimensionText) : std::nullopt;
    if (!extendType) {
        raiseJoined(PyExc_ValueError, {py::str("Incorrect dimensions: "), request.dimensions,
                                       py::str(". Dimensions need to be either 2D or 3D")});
    }
    const auto typeText = textOf(request.dataBlockType);
    const DataTypeName* type = typeText ? findDataTypeName(*typeText) : nullptr;
    if (type == nullptr) {
        raiseJoined(PyExc_ValueError, {py::str("Invalid data block type: "), request.dataBlockType,
                                       py::str(std::string(". Please enter a valid entry from the following: ") +
                                               std::string(validTypes))});
    }
    const auto derivText = textOf(request.deriv);
    const auto derivType = derivText ? requestedDerivType(*derivText) : std::nullopt;
    if (!derivType) {
        raiseJoined(PyExc_ValueError, {py::str("Invalid deriv type: "), request.deriv,
                                       py::str(".  Please select from the following: 1DER, 2DER, NDER or NONE")});
    }
    request.codes = {type->dataType, type->sampleType, *derivType, *extendType};
    request.threeD = *extendType == codes::extend3D;
    request.traces = type->name == "TRC";
    return request;
}

void raiseNoDataBlock(const Request& request) {
    py::Ref blank = py::str(" ");
    raiseJoined(PyExc_ValueError, {py::str("No data block exists in the file for: "), request.dataBlockType, blank,
                                   request.dimensions, blank, request.deriv});
}

}  // namespace lumira::extract
