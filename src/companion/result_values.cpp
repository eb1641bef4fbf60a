// What the package tells about a result besides the result itself: its
// kind in words, the shape of its values, and its values scaled by CSF.
#include "companion/numpy_arrays.hpp"
#include "companion/whole_file.hpp"
#include "extract/spectrum.hpp"

namespace lumira::companion {

namespace {

constexpr std::pair<const char*, const char*> kindNames[] = {
    {"SingleDataReturn", "spectrum"},
    {"ImageDataReturn", "image map"},
    {"ImageTRCDataReturn", "image map (traces)"},
    {"TimeResolvedDataReturn", "series"},
    {"TimeResolvedTRCDataReturn", "series (traces)"},
    {"MultiRegionDataReturn", "multi-region"},
    {"MultiRegionTRCDataReturn", "multi-region (traces)"},
};

py::Ref shapeOf(py::Borrowed array) { return py::attr(array, "shape"); }

bool isMultiRegion(std::string_view kind) { return kind.starts_with("multi-region"); }

// The arrays holding a result's values.
std::vector<py::Ref> valueArrays(py::Borrowed result, std::string_view kind) {
    if (kind == "spectrum") return {py::attr(result, "y")};
    if (kind == "image map" || kind == "series") return {py::attr(result, "spectra")};
    if (!isMultiRegion(kind)) return {py::attr(result, "traces")};
    std::vector<py::Ref> arrays;
    py::Ref regions = py::attr(result, "regions");
    py::Ref iterator = py::Ref::fresh(PyObject_GetIter(regions.get()));
    while (py::Ref region = py::Ref::steal(PyIter_Next(iterator.get()))) arrays.push_back(py::attr(region, "spectra"));
    if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return arrays;
}

Py_ssize_t lengthOf(py::Borrowed object) {
    const Py_ssize_t length = PyObject_Length(object);
    if (length < 0) throw py::ErrorAlreadySet{};
    return length;
}

}  // namespace

const char* kindOf(py::Borrowed module, py::Borrowed result) {
    PyObject* mro = Py_TYPE(result.get())->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        for (const auto& [className, kind] : kindNames) {
            py::Ref cls = py::moduleName(module, className);
            if (cls.get() == PyTuple_GET_ITEM(mro, i)) return kind;
        }
    }
    return nullptr;
}

py::Ref valuesShape(py::Borrowed result, std::string_view kind) {
    if (!isMultiRegion(kind)) return shapeOf(valueArrays(result, kind).front());
    py::Ref regions = py::attr(result, "regions");
    Py_ssize_t points = 0;
    py::Ref iterator = py::Ref::fresh(PyObject_GetIter(regions.get()));
    while (py::Ref region = py::Ref::steal(PyIter_Next(iterator.get()))) points += lengthOf(py::attr(region, "mapX"));
    if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
    const Py_ssize_t width = kind == "multi-region" ? lengthOf(py::attr(result, "x"))
                                                     : lengthOf(py::attr(result, "labels"));
    return py::tuple({py::integer(points), py::integer(width)});
}

std::optional<double> scaleFactor(py::Borrowed parameters) {
    PyObject* factor = PyDict_GetItemWithError(parameters, py::interned("CSF").get());  // borrowed
    if (factor == nullptr) {
        if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
        return std::nullopt;
    }
    double value;
    if (PyFloat_CheckExact(factor)) {
        value = PyFloat_AS_DOUBLE(factor);
    } else if (PyLong_CheckExact(factor)) {
        value = PyLong_AsDouble(factor);
        if (value == -1.0 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    } else {
        return std::nullopt;  // a text or anything else scales nothing
    }
    if (value == 1.0) return std::nullopt;
    return value;
}

void scaleValues(py::Borrowed result, std::string_view kind, double factor) {
    for (const py::Ref& array : valueArrays(result, kind)) {
        const auto scale = [factor](std::span<float> values) {
            py::ReleasedGil unlocked(py::worthReleasing(values.size_bytes()));
            scaleFloats(values, factor);
        };
        if (const auto values = float32Memory(array)) {
            scale(*values);
            continue;
        }
        py::WritableBuffer buffer(array);
        if (buffer.format() != "f" && buffer.format() != "<f" && buffer.format() != "=f") {
            PyErr_SetString(PyExc_TypeError, "the values to scale are not float32");
            throw py::ErrorAlreadySet{};
        }
        scale(buffer.as<float>());
    }
}

}  // namespace lumira::companion
