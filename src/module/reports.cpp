#include "module/reports.hpp"

#include <limits>
#include <new>
#include <utility>

#include "module/state.hpp"

namespace lumira::module {

namespace {

struct FieldNames {
    const char* format;
    const char* context;
};

FieldNames namesOf(Field field) {
    switch (field) {
        case Field::Int: return {"<i", "lumira.readInt"};
        case Field::Short: return {"<h", "lumira.readShort"};
        case Field::Int64: return {"<q", "lumira.readInt64"};
        case Field::Float: return {"<f", "lumira.readFloat"};
        case Field::Double: return {"<d", "lumira.readDouble"};
    }
    return {"<i", "lumira.readInt"};
}

// Calls the module's `unpack` on the bytes; true when it raised (as it does
// on short input), leaving its exception pending.
bool unpackRaises(py::Borrowed module, const char* format, const std::vector<std::uint8_t>& data) {
    try {
        py::Ref unpack = py::moduleName(module, "unpack");
        py::Ref formatText = py::str(format);
        py::Ref raw = py::bytes(data);
        py::call(unpack, {formatText, raw});
        return false;
    } catch (const py::ErrorAlreadySet&) {
        return true;
    }
}

// Reports the pending error as the field readers do: printed with its
// traceback, then through the unraisable hook naming the reader.
void reportPending(const char* context) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(1);

    PyObject* contextText = PyUnicode_FromString(context);
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(contextText != nullptr ? contextText : Py_None);
    Py_XDECREF(contextText);
}

void reportShortRead(py::Borrowed module, const ShortRead& shortRead) {
    const FieldNames names = namesOf(shortRead.field);
    if (unpackRaises(module, names.format, shortRead.bytes)) reportPending(names.context);
}

// unpack(format, bytes)[0] with the module's `unpack`.
py::Ref unpackFirst(py::Borrowed module, const char* format, std::span<const std::uint8_t> bytes) {
    py::Ref unpack = py::moduleName(module, "unpack");
    py::Ref formatText = py::str(format);
    py::Ref raw = py::bytes(bytes);
    py::Ref decoded = py::call(unpack, {formatText, raw});
    py::Ref first = py::integer(0);
    return py::Ref::fresh(PyObject_GetItem(decoded.get(), first.get()));
}

// The range of the integer fields' types.
std::pair<long long, long long> rangeOf(Field field) {
    switch (field) {
        case Field::Short: return {std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()};
        case Field::Int64: return {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()};
        default: return {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
    }
}

// Runs `decode` with the interpreter lock; a failure is reported for the
// field's reader and gives nothing.
template <typename Value, typename Decode>
std::optional<Value> decodeReported(Field field, Decode&& decode) {
    const PyGILState_STATE lock = PyGILState_Ensure();
    std::optional<Value> value;
    try {
        value.emplace(decode());
    } catch (const py::ErrorAlreadySet&) {
        reportPending(namesOf(field).context);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        reportPending(namesOf(field).context);
    }
    PyGILState_Release(lock);
    return value;
}

thread_local ShortReads* sink = nullptr;

}  // namespace

ShortReadSink::ShortReadSink(ShortReads& into) noexcept : saved_(std::exchange(sink, &into)) {}

ShortReadSink::~ShortReadSink() { sink = saved_; }

void reportShortReads(py::Borrowed module, const ShortReads& shortReads) {
    if (sink != nullptr) {
        sink->insert(sink->end(), shortReads.begin(), shortReads.end());
        return;
    }
    for (const ShortRead& shortRead : shortReads) reportShortRead(module, shortRead);
}

py::Ref shortReadError(py::Borrowed module, const ShortRead& shortRead) {
    if (!unpackRaises(module, namesOf(shortRead.field).format, shortRead.bytes)) return {};
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py::Ref error = py::Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return error;
}

bool unpackIsGenuine(py::Borrowed module) {
    return py::moduleName(module, "unpack").get() == stateOf(module).structUnpack;
}

bool isOpusMagic(py::Borrowed module, const MagicTest& magic) {
    if (unpackIsGenuine(module)) {
        if (!magic.complete) raiseShortMagic(module, magic.bytes);
        return magic.isOpus;
    }
    py::Ref number = unpackFirst(module, ">i", magic.bytes);
    py::Ref expected = py::integer(opusMagic);
    const int equal = PyObject_RichCompareBool(number.get(), expected.get(), Py_EQ);
    py::check(equal);
    return equal == 1;
}

std::optional<std::int64_t> UnpackDecoder::integer(Field field, std::span<const std::uint8_t> bytes) {
    return decodeReported<std::int64_t>(field, [&] {
        py::Ref value = unpackFirst(module_, namesOf(field).format, bytes);
        const long long number = PyLong_AsLongLong(value.get());
        if (number == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        const auto [low, high] = rangeOf(field);
        if (number < low || number > high) {
            PyErr_SetString(PyExc_OverflowError, "value out of range for the field");
            throw py::ErrorAlreadySet{};
        }
        return static_cast<std::int64_t>(number);
    });
}

std::optional<double> UnpackDecoder::real(Field field, std::span<const std::uint8_t> bytes) {
    return decodeReported<double>(field, [&] {
        py::Ref value = unpackFirst(module_, namesOf(field).format, bytes);
        const double number = PyFloat_AsDouble(value.get());
        if (number == -1.0 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        return number;
    });
}

void raiseShortMagic(py::Borrowed module, const std::vector<std::uint8_t>& bytes) {
    if (unpackRaises(module, ">i", bytes)) throw py::ErrorAlreadySet{};
    // A rebound `unpack` accepted four bytes that are not there.
    PyErr_SetString(PyExc_ValueError, "file too short to hold the magic number");
    throw py::ErrorAlreadySet{};
}

}  // namespace lumira::module
