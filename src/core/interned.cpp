#include "core/interned.hpp"

#include <functional>
#include <string>
#include <unordered_map>

namespace lumira::py {

namespace {

// Names from code and from files share the cache; past this many, names are
// made afresh each time, so a file with countless distinct names cannot grow
// it without bound.
constexpr std::size_t cacheLimit = 4096;

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

// The cache holds one reference to each name for the life of the process;
// its destructor at exit frees only the keys and leaves the objects alone.
std::unordered_map<std::string, PyObject*, TextHash, std::equal_to<>> names;

}  // namespace

Ref interned(std::string_view text) {
    if (const auto found = names.find(text); found != names.end()) return Ref::borrow(found->second);
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) throw ErrorAlreadySet{};
    PyUnicode_InternInPlace(&name);
    Ref result = Ref::steal(name);
    if (names.size() < cacheLimit) names.emplace(std::string(text), Ref(result).release());
    return result;
}

}  // namespace lumira::py
