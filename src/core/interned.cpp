#include "core/interned.hpp"

#include <cstdint>
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

// The caches hold one reference to each name for the life of the process;
// their destructors at exit free only the keys and leave the objects alone.
std::unordered_map<std::string, PyObject*, TextHash, std::equal_to<>> names;

// Most names (parameter codes, short keywords) fit in seven bytes: those are
// looked up by their bytes packed into one integer.
std::unordered_map<std::uint64_t, PyObject*> shortNames;

constexpr std::size_t shortLength = 7;

std::uint64_t packed(std::string_view text) {
    std::uint64_t key = std::uint64_t{text.size()} << 56;
    for (std::size_t i = 0; i < text.size(); ++i) key |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
    return key;
}

// In front of the map of short names: one slot per hash of the packed
// bytes, so a name asked for again costs a multiplication and a compare.
struct RecentName {
    std::uint64_t key = 0;
    PyObject* name = nullptr;  // held by shortNames
};
RecentName recent[512];

RecentName& recentSlot(std::uint64_t key) { return recent[(key * 0x9E3779B97F4A7C15u) >> 55]; }

// A name not cached yet: made, interned, and cached while there is room.
Ref made(std::string_view text) {
    const bool isShort = text.size() <= shortLength;
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) throw ErrorAlreadySet{};
    PyUnicode_InternInPlace(&name);
    Ref result = Ref::steal(name);
    if (isShort && shortNames.size() < cacheLimit) shortNames.emplace(packed(text), Ref(result).release());
    if (!isShort && names.size() < cacheLimit) names.emplace(std::string(text), Ref(result).release());
    return result;
}

}  // namespace

Ref internedShort(std::uint64_t key, std::string_view text) {
    RecentName& slot = recentSlot(key);
    if (slot.name != nullptr && slot.key == key) return Ref::borrow(slot.name);
    if (const auto found = shortNames.find(key); found != shortNames.end()) {
        slot = {key, found->second};
        return Ref::borrow(found->second);
    }
    return made(text);
}

Ref interned(std::string_view text) {
    if (text.size() <= shortLength) return internedShort(packed(text), text);
    if (const auto found = names.find(text); found != names.end()) return Ref::borrow(found->second);
    return made(text);
}

}  // namespace lumira::py
