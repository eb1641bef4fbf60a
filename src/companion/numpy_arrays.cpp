#include "companion/numpy_arrays.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL lumira_companion_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "core/python.hpp"
#include "module/state.hpp"

namespace lumira::companion {

namespace {

// np.empty(count, dtype) for a one-dimensional count: C order, NumPy's own memory.
template <typename T>
py::Ref emptyArray(std::int64_t count, int type, std::span<T>& values) {
    npy_intp extent[] = {static_cast<npy_intp>(count)};
    py::Ref array = py::Ref::fresh(PyArray_SimpleNew(1, extent, type));
    values = {static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))),
              static_cast<std::size_t>(count)};
    return array;
}

class NumpyArrays final : public extract::ArrayMaker {
public:
    py::Ref float32s(std::int64_t count, std::span<float>& values) override {
        return emptyArray(count, NPY_FLOAT32, values);
    }
    py::Ref float64s(std::int64_t count, std::span<double>& values) override {
        return emptyArray(count, NPY_FLOAT64, values);
    }
};

NumpyArrays genuine;

}  // namespace

std::optional<std::span<float>> float32Memory(py::Borrowed object) {
    if (!PyArray_CheckExact(object.get())) return std::nullopt;
    auto* array = reinterpret_cast<PyArrayObject*>(object.get());
    constexpr int wanted = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE;
    if (PyArray_TYPE(array) != NPY_FLOAT32 || !PyArray_ISNOTSWAPPED(array) ||
        !PyArray_CHKFLAGS(array, wanted))
        return std::nullopt;
    return std::span<float>(static_cast<float*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_SIZE(array)));
}

void importNumpyApi() {
    if (_import_array() < 0) throw py::ErrorAlreadySet{};
}

extract::ArrayMaker* numpyArrays(py::Borrowed module) {
    const module::ModuleState& state = module::stateOf(module);
    // Whatever the module's np lacks fails where the read would use it.
    const auto attribute = [](PyObject* object, const char* name) {
        py::Ref found = py::Ref::steal(object != nullptr ? PyObject_GetAttrString(object, name) : nullptr);
        PyErr_Clear();
        return found;
    };
    py::Ref np = attribute(module.get(), "np");
    const bool genuineNumpy = attribute(np.get(), "empty").get() == state.numpyEmpty &&
                              attribute(np.get(), "linspace").get() == state.numpyLinspace;
    return genuineNumpy ? &genuine : nullptr;
}

}  // namespace lumira::companion
