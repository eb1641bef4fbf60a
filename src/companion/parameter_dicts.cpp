#include "companion/parameter_dicts.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "core/interned.hpp"
#include "core/python.hpp"
#include "extract/python/parameters.hpp"

namespace lumira::companion {

namespace {

std::uint64_t mixed(std::uint64_t hash) noexcept {
    hash ^= hash >> 31;
    hash *= 0xBF58476D1CE4E5B9u;
    return hash ^ (hash >> 29);
}

// Places of interned names (pointers), by open addressing: the names of a
// parameter block are counted once each, at the cost of a probe or two.
class PointerIndex {
public:
    explicit PointerIndex(std::size_t expected) : slots_(std::bit_ceil(2 * expected + 2)) {}

    // The place of `key`: the one it was first given, else `place`.
    std::size_t insert(PyObject* key, std::size_t place) {
        Slot& slot = probe(key);
        if (slot.key == nullptr) slot = {key, place};
        return slot.place;
    }

    bool contains(PyObject* key) { return probe(key).key != nullptr; }

private:
    struct Slot {
        PyObject* key = nullptr;
        std::size_t place = 0;
    };

    Slot& probe(PyObject* key) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = mixed(reinterpret_cast<std::uintptr_t>(key)) & mask;
        while (slots_[at].key != nullptr && slots_[at].key != key) at = (at + 1) & mask;
        return slots_[at];
    }

    std::vector<Slot> slots_;  // never full: twice the keys it will hold
};

}  // namespace

namespace {

// Values alike in type and bits (so 0.0 and -0.0, and NaNs of different
// payloads, are not) make equal objects.
bool alike(const ParameterValue& a, const ParameterValue& b) {
    if (a.index() != b.index()) return false;
    if (const auto* integer = std::get_if<std::int32_t>(&a)) return *integer == std::get<std::int32_t>(b);
    if (const auto* real = std::get_if<double>(&a))
        return std::bit_cast<std::uint64_t>(*real) == std::bit_cast<std::uint64_t>(std::get<double>(b));
    return std::get<ParameterText>(a).bytes == std::get<ParameterText>(b).bytes;
}

// Whether a block holds a name twice (rarely: then its later record gives the value at the first one's place).
bool repeatsNames(std::span<const Parameter> records) {
    constexpr std::size_t sortable = 64;
    if (records.size() > sortable) return true;  // told apart by the index instead
    std::array<std::uint64_t, sortable> names;
    for (std::size_t i = 0; i < records.size(); ++i) names[i] = records[i].name.packed();
    std::sort(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(records.size()));
    return std::adjacent_find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(records.size())) !=
           names.begin() + static_cast<std::ptrdiff_t>(records.size());
}

}  // namespace

ParameterDicts::ParameterDicts(const FilePlan& plan) : plan_(plan) { names_.reserve(plan.records.size()); }

ParameterDicts::BlockNames& ParameterDicts::namesOf(std::int64_t offset) {
    for (BlockNames& block : blocks_)
        if (block.offset == offset) return block;
    // Each name once, at its first place, with its last value (names are
    // interned, so one name is one object).
    const ParsedParameters& parsed = plan_.parameters.at(offset);
    const auto records = plan_.recordsOf(parsed);
    const auto nameOf = [](const Parameter& record) { return py::internedShort(record.name.packed(), record.name); };
    BlockNames& block = blocks_.emplace_back(BlockNames{offset, names_.size(), 0});
    if (!repeatsNames(records)) {
        for (std::size_t i = 0; i < records.size(); ++i) names_.push_back({nameOf(records[i]), parsed.first + i, {}});
    } else {
        PointerIndex placeOf(records.size());
        for (std::size_t record = parsed.first; record < parsed.first + parsed.count; ++record) {
            py::Ref key = nameOf(plan_.records[record]);
            const std::size_t at = placeOf.insert(key.get(), names_.size() - block.first);
            if (at == names_.size() - block.first) {
                names_.push_back({std::move(key), record, {}});
            } else {
                names_[block.first + at].record = record;
            }
        }
    }
    block.count = names_.size() - block.first;
    return block;
}

py::Ref ParameterDicts::valueOf(std::size_t record) const {
    return extract::valueOf(plan_.records[record].value, plan_.encoding);
}

ParameterDicts::BlockNames& ParameterDicts::valuesOf(std::int64_t offset) {
    BlockNames& block = namesOf(offset);
    if (!block.valued)
        for (std::size_t i = block.first; i < block.first + block.count; ++i) names_[i].value = valueOf(names_[i].record);
    block.valued = true;
    return block;
}

py::Ref ParameterDicts::merged(std::int64_t dataOffset, std::span<const std::int64_t> companions) {
    const ParsedParameters& data = plan_.parameters.at(dataOffset);
    const auto sameNames = [&](const Template& known) {
        if (known.recordCount != data.count) return false;
        for (std::size_t i = 0; i < data.count; ++i)
            if (plan_.records[known.firstRecord + i].name.packed() != plan_.records[data.first + i].name.packed())
                return false;
        return true;
    };
    for (const Template& known : templates_) {
        if (!std::equal(known.companions.begin(), known.companions.end(), companions.begin(), companions.end()) ||
            !sameNames(known))
            continue;
        // Records named alike, one for one: each name takes its value from the record at the same place.
        py::Ref dict = py::Ref::fresh(PyDict_Copy(known.dict.get()));
        for (std::size_t i = 0; i < known.data.count; ++i) {
            if (known.companionHolds[i]) continue;
            const Named& named = names_[known.data.first + i];
            const std::size_t record = data.first + (named.record - known.firstRecord);
            if (!alike(plan_.records[named.record].value, plan_.records[record].value))
                py::setItem(dict, named.name, valueOf(record));
        }
        return dict;
    }
    return fromNew(dataOffset, companions);
}

py::Ref ParameterDicts::fromNew(std::int64_t dataOffset, std::span<const std::int64_t> companions) {
    Template made;
    made.firstRecord = plan_.parameters.at(dataOffset).first;
    made.recordCount = plan_.parameters.at(dataOffset).count;
    made.data = valuesOf(dataOffset);
    made.companions.assign(companions.begin(), companions.end());
    std::size_t names = made.data.count;
    for (std::int64_t offset : companions)
        if (offset != LocatedBlocks::absent) names += valuesOf(offset).count;
    // Sized once for all its names: growing a dictionary rehashes it again and again.
    made.dict = py::Ref::fresh(_PyDict_NewPresized(static_cast<Py_ssize_t>(names)));
    const auto dataNames = std::span(names_).subspan(made.data.first, made.data.count);
    for (const Named& named : dataNames) py::setItem(made.dict, named.name, named.value);
    PointerIndex companionNames(names);  // interned: one object per name
    for (std::int64_t offset : companions) {
        if (offset == LocatedBlocks::absent) continue;
        const BlockNames& companion = namesOf(offset);
        for (const Named& named : std::span(names_).subspan(companion.first, companion.count)) {
            py::setItem(made.dict, named.name, named.value);
            companionNames.insert(named.name.get(), 0);
        }
    }
    made.companionHolds.reserve(dataNames.size());
    for (const Named& named : dataNames) made.companionHolds.push_back(companionNames.contains(named.name.get()));
    py::Ref dict = py::Ref::fresh(PyDict_Copy(made.dict.get()));
    templates_.push_back(std::move(made));
    return dict;
}

}  // namespace lumira::companion
