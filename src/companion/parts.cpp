#include "companion/parts.hpp"

#include <cstdint>
#include <span>

#include "core/python.hpp"
#include "core/text.hpp"
#include "parts/container.hpp"
#include "parts/history.hpp"
#include "parts/image_blob.hpp"

namespace lumira::companion {

namespace {

// The bytes of a bytes-like argument, held while the view lives.
class ReadableBuffer {
public:
    explicit ReadableBuffer(py::Borrowed object) { py::check(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE)); }
    ~ReadableBuffer() { PyBuffer_Release(&view_); }
    ReadableBuffer(const ReadableBuffer&) = delete;
    ReadableBuffer& operator=(const ReadableBuffer&) = delete;

    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// Parses without the lock when the block is big enough for that to pay.
template <typename Parse>
auto parsed(std::span<const std::uint8_t> bytes, Parse&& parse) {
    py::ReleasedGil unlocked(py::worthReleasing(bytes.size()));
    return parse();
}

struct Texts {
    TextEncoding encoding;
    py::Ref operator()(std::span<const std::uint8_t> bytes) const { return py::text(bytes, encoding); }
    py::Ref operator()(const ParameterText& text) const { return py::text(text.bytes, encoding); }
    py::Ref operator()(const std::optional<ParameterText>& text) const {
        return text ? (*this)(*text) : py::Ref::borrow(Py_None);
    }
};

py::Ref valueOf(const ParameterValue& value, const Texts& texts) {
    if (const auto* integer = std::get_if<std::int32_t>(&value)) return py::integer(*integer);
    if (const auto* real = std::get_if<double>(&value)) return py::real(*real);
    return texts(std::get<ParameterText>(value));
}

py::Ref dictOf(const Parameters& parameters, const Texts& texts) {
    py::Ref dict = py::Ref::fresh(PyDict_New());
    for (const Parameter& parameter : parameters) py::setItem(dict, parameter.name, valueOf(parameter.value, texts));
    return dict;
}

py::Ref cellOf(const parts::Cell& cell, parts::CellKind kind, const Texts& texts) {
    if (const auto* integer = std::get_if<std::int32_t>(&cell)) return py::integer(*integer);
    if (const auto* single = std::get_if<float>(&cell)) return py::real(*single);
    if (const auto* real = std::get_if<double>(&cell)) return py::real(*real);
    const auto bytes = std::get<std::span<const std::uint8_t>>(cell);
    return kind == parts::CellKind::Text ? texts(bytes) : py::bytes(bytes);
}

py::Ref propertiesOf(const std::vector<parts::Property>& found, const Texts& texts) {
    py::Ref properties = py::Ref::fresh(PyList_New(0));
    for (const parts::Property& property : found) {
        py::Ref value = property.value ? valueOf(*property.value, texts) : py::Ref::borrow(Py_None);
        py::append(properties, py::tuple({texts(property.label), value, texts(property.format)}));
    }
    return properties;
}

py::Ref tableOf(std::span<const std::uint8_t> block, const parts::Table& table, py::Borrowed name, const Texts& texts) {
    py::Ref properties = propertiesOf(table.properties, texts);
    py::Ref columns = py::Ref::fresh(PyList_New(0));
    for (const parts::Column& column : table.columns) {
        py::append(columns, py::tuple({texts(column.name), py::integer(column.offset), py::integer(column.type),
                                       py::integer(column.width), texts(column.format)}));
    }
    py::Ref rows = py::Ref::fresh(PyList_New(static_cast<Py_ssize_t>(table.rowCount)));
    for (std::int64_t row = 0; row < table.rowCount; ++row) {
        py::Ref cells = py::Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(table.columns.size())));
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            const parts::Column& column = table.columns[c];
            PyTuple_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(c),
                             cellOf(parts::cellAt(block, table, row, column), column.kind, texts).release());
        }
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(row), cells.release());
    }
    py::Ref subtables = py::Ref::fresh(PyList_New(0));
    for (std::size_t j = 0; j < table.subtables.size(); ++j)
        py::append(subtables, tableOf(block, table.subtables[j], texts(table.subtableTitles[j]), texts));
    return py::tuple({name, py::integer(table.offset), dictOf(table.parameters, texts), properties, columns, rows,
                      subtables});
}

// The calls on a block: (block, offset, utf8) parsed, the block parsed
// natively, then `build` makes its objects from what was parsed.
template <typename Parse, typename Build>
PyObject* onBlock(PyObject* args, const char* format, Parse&& parse, Build&& build) {
    return py::boundary([&] {
        PyObject* data = nullptr;
        long long offset = 0;
        int utf8 = 0;
        if (!PyArg_ParseTuple(args, format, &data, &offset, &utf8)) throw py::ErrorAlreadySet{};
        const ReadableBuffer buffer(data);
        const auto block = buffer.bytes();
        const auto found = parsed(block, [&] { return parse(block, offset); });
        return build(block, found, Texts{utf8 ? TextEncoding::Utf8 : TextEncoding::Cp1252});
    });
}

}  // namespace

PyObject* readHistory(PyObject*, PyObject* args) {
    return onBlock(args, "OLp:read_history", parts::readHistory, [](auto block, const auto& records, const Texts& texts) {
        constexpr const char* kinds[] = {"session", "title", "detail", "command"};
        py::Ref lines = py::Ref::fresh(PyList_New(0));
        for (const parts::HistoryRecord& record : records) {
            py::Ref kind = py::interned(kinds[static_cast<int>(record.kind)]);
            py::append(lines, py::tuple({kind, texts(block.subspan(record.offset, record.length))}));
        }
        return lines;
    });
}

PyObject* readContainer(PyObject*, PyObject* args) {
    return onBlock(args, "OLp:read_container", parts::readContainer, [](auto block, const auto& container,
                                                                        const Texts& texts) {
        py::Ref tables = py::Ref::fresh(PyList_New(0));
        for (std::size_t k = 0; k < container.tables.size(); ++k)
            py::append(tables, tableOf(block, container.tables[k], texts(container.tableNames[k]), texts));
        py::Ref head = py::tuple({py::integer(container.directoryOffset), py::integer(container.reserved),
                                  py::integer(container.headWord)});
        return py::tuple({head, dictOf(container.directory, texts), propertiesOf(container.properties, texts), tables});
    });
}

PyObject* readImage(PyObject*, PyObject* args) {
    return py::boundary([&] {
        PyObject* data = nullptr;
        if (!PyArg_ParseTuple(args, "O:read_image", &data)) throw py::ErrorAlreadySet{};
        const ReadableBuffer buffer(data);
        const parts::ImageBlob image = parts::readImageBlob(buffer.bytes());
        return py::tuple({py::integer(static_cast<long long>(image.jpegOffset)),
                          py::integer(static_cast<long long>(image.jpegLength)), py::integer(image.width),
                          py::integer(image.height), py::integer(image.components)});
    });
}

}  // namespace lumira::companion
