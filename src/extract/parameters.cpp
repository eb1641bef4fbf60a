#include "extract/parameters.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "extract/utf8.hpp"

namespace lumira {

namespace {

enum ParameterType : std::int16_t { integerType = 0, realType = 1, firstTextType = 2, lastTextType = 4 };

// The bytes a record's value takes after its eight-byte head, from its type and
// size in two-byte words; none for a type no reader knows (or a negative size).
std::optional<std::size_t> storedValueSize(std::int16_t type, std::int16_t sizeInWords) {
    if (type == integerType) return 4;
    if (type == realType) return 8;
    if (type >= firstTextType && type <= lastTextType && sizeInWords >= 0)
        return static_cast<std::size_t>(sizeInWords) * 2;
    return std::nullopt;
}

[[noreturn]] void failDamaged(std::int64_t blockOffset, std::string_view why) {
    failValue("Parameter block at offset " + std::to_string(blockOffset) + " is damaged: " + std::string(why));
}

std::string_view trimNuls(std::span<const std::uint8_t> raw) {
    std::string_view text(reinterpret_cast<const char*>(raw.data()), raw.size());
    const auto first = text.find_first_not_of('\0');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of('\0');
    return text.substr(first, last - first + 1);
}

ParameterText readText(Cursor& cursor, std::int64_t blockOffset, std::int16_t sizeInWords) {
    if (sizeInWords < 0) failDamaged(blockOffset, "a text record has a negative size");
    const auto length = static_cast<std::size_t>(sizeInWords) * 2;
    if (length > cursor.remaining()) failDamaged(blockOffset, "a text record runs past the end of the file");
    std::vector<std::uint8_t> bytes(length);
    cursor.readBytes(bytes);
    bytes.erase(std::find(bytes.begin(), bytes.end(), std::uint8_t{0}), bytes.end());
    return {std::move(bytes)};
}

}  // namespace

namespace {

template <typename T>
T fieldAt(const std::uint8_t* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

[[noreturn]] void refuseName(std::span<const std::uint8_t> nameBytes) {
    throw Error(ErrorKind::Utf8Decode, "invalid parameter name")
        .withPayload(std::vector<std::uint8_t>(nameBytes.begin(), nameBytes.end()));
}

[[noreturn]] void refuseOverlap(std::int64_t blockOffset) {
    failDamaged(blockOffset, "its records overlap other blocks' beyond what the file's size allows");
}

const std::uint64_t endName = ParameterName("END").packed();

struct HeldRecords {
    std::size_t consumed = 0;  // bytes of the records read
    bool ended = false;        // the END record among them
};

// The records that lie whole in `held`, the bytes the source already holds
// from the block's next record on, read straight from memory. It stops
// before the first record that does not lie whole in them or whose type or
// size is not a plain one: the field readers go on from there and judge it,
// so every block reads as they would read it.
HeldRecords readHeldRecords(std::span<const std::uint8_t> held, std::int64_t blockOffset, Parameters& into,
                            std::size_t& records, std::size_t recordLimit) {
    constexpr std::size_t head = 8;  // name, type and size
    HeldRecords read;
    std::size_t& at = read.consumed;
    while (held.size() - at >= head) {
        const std::span<const std::uint8_t> nameBytes = held.subspan(at, 4);
        const auto field = fieldAt<std::uint32_t>(nameBytes.data());
        if ((field & 0x80808080u) != 0 && !isValidUtf8(nameBytes)) refuseName(nameBytes);
        const ParameterName name = ParameterName::ofField(field);
        if (name.packed() == endName) {
            at += nameBytes.size();
            read.ended = true;
            return read;
        }
        const auto type = fieldAt<std::int16_t>(held.data() + at + 4);
        const auto size = fieldAt<std::int16_t>(held.data() + at + 6);
        const std::optional<std::size_t> stored = storedValueSize(type, size);
        if (!stored) break;
        const std::size_t valueSize = *stored;
        if (held.size() - at - head < valueSize) break;
        if (++records > recordLimit) refuseOverlap(blockOffset);
        const std::uint8_t* value = held.data() + at + head;
        Parameter& record = into.emplace_back();
        record.name = name;
        if (type == integerType) {
            record.value = fieldAt<std::int32_t>(value);
        } else if (type == realType) {
            record.value = fieldAt<double>(value);
        } else {
            const std::uint8_t* end = std::find(value, value + valueSize, std::uint8_t{0});
            record.value = ParameterText{std::vector<std::uint8_t>(value, end)};
        }
        at += head + valueSize;
    }
    return read;
}

// One record read by the field readers, which judge every damage; true at END.
bool readRecord(Cursor& cursor, std::int64_t offset, Parameters& into, std::size_t& records,
                std::size_t recordLimit) {
    std::array<std::uint8_t, 4> rawName{};
    const std::size_t got = cursor.readBytes(rawName);
    const std::span<const std::uint8_t> nameBytes(rawName.data(), got);
    if (!isValidUtf8(nameBytes)) refuseName(nameBytes);
    const std::string_view name = trimNuls(nameBytes);
    if (name == "END") return true;
    // Without four name bytes the block cannot go on: every later read
    // would come back empty and the block would never end.
    if (got < rawName.size()) {
        // Said so, a cut file is not mistaken for a block whose END is missing.
        const std::uint64_t fileEnd = std::min(cursor.position(), cursor.source().size());
        failDamaged(offset, "the file ends at byte " + std::to_string(fileEnd) + ", before its END record");
    }

    if (++records > recordLimit) refuseOverlap(offset);
    const std::int16_t type = cursor.readShort();
    const std::int16_t size = cursor.readShort();
    ParameterValue value;
    if (type == integerType) {
        value = cursor.readInt();
    } else if (type == realType) {
        value = cursor.readDouble();
    } else if (type >= firstTextType && type <= lastTextType) {
        value = readText(cursor, offset, size);
    } else {
        failValue("Unexpected value for reading parameter type: " + std::to_string(type));
    }
    into.push_back({ParameterName(name), std::move(value)});
    return false;
}

}  // namespace

void readParameterBlock(Cursor& cursor, std::int64_t offset, Parameters& into, std::size_t recordLimit) {
    cursor.seek(offset);
    std::size_t records = 0;
    // Blocks hold tens of records: room for them saves the vector's early growth
    // (doubling, so that block after block appended to one vector costs no more).
    if (into.capacity() < into.size() + 32) into.reserve(std::max(into.size() + 32, 2 * into.capacity()));
    for (;;) {
        // Records the source holds in memory are read from there; the field
        // readers take each record that is not, and the rest of a block
        // whose fields a host decodes.
        if (cursor.decodesNatively() && cursor.remaining() != 0) {
            const HeldRecords held =
                readHeldRecords(cursor.source().cachedFrom(cursor.position()), offset, into, records, recordLimit);
            if (held.consumed != 0) cursor.seek(static_cast<std::int64_t>(cursor.position() + held.consumed));
            if (held.ended) return;  // just past the name of END, as the field readers leave it
        }
        if (readRecord(cursor, offset, into, records, recordLimit)) return;
    }
}

std::optional<std::uint64_t> skimParameterBlock(ByteSource& source, std::int64_t offset, std::size_t recordLimit) {
    if (offset < 0) return std::nullopt;
    ShortReads shortReads;
    Cursor cursor(source, shortReads);
    cursor.seek(offset);
    for (std::size_t records = 0;; ++records) {
        std::array<std::uint8_t, 4> rawName{};
        if (cursor.readBytes(rawName) < rawName.size()) return std::nullopt;
        if (trimNuls(rawName) == "END") return cursor.position();
        if (records >= recordLimit) return std::nullopt;
        const std::int16_t type = cursor.readShort();
        const std::int16_t size = cursor.readShort();
        const std::optional<std::size_t> stored = storedValueSize(type, size);
        if (!stored) return std::nullopt;
        const std::uint64_t skip = *stored;
        if (!shortReads.empty() || skip > cursor.remaining()) return std::nullopt;
        cursor.seek(static_cast<std::int64_t>(cursor.position() + skip));
    }
}

ParameterLookup::ParameterLookup(const Parameters& parameters) {
    for (const Parameter& parameter : parameters) latest_[parameter.name] = &parameter.value;
}

const ParameterValue* ParameterLookup::find(std::string_view name) const {
    const auto found = latest_.find(name);
    return found == latest_.end() ? nullptr : found->second;
}

Parameters readMergedParameters(Cursor& cursor, const LocatedBlocks& located, TextEncoding* encoding) {
    Parameters merged;
    readParameterBlock(cursor, located.offsetToParams, merged);
    for (std::int64_t companion : {located.offsetToAcqParams, located.offsetToInstParams, located.offsetToSampleParams,
                                   located.offsetToFTParams}) {
        if (companion == LocatedBlocks::absent) continue;
        const std::size_t before = merged.size();
        readParameterBlock(cursor, companion, merged);
        if (encoding != nullptr && companion == located.offsetToSampleParams)
            *encoding = textEncodingOf(std::span(merged).subspan(before));
    }
    return merged;
}

TextEncoding textEncodingOf(std::span<const Parameter> records) {
    TextEncoding encoding = TextEncoding::Cp1252;
    for (const Parameter& record : records)
        if (record.name == "CPG")
            if (const auto* codePage = std::get_if<std::int32_t>(&record.value)) encoding = encodingOfCodePage(*codePage);
    return encoding;
}

}  // namespace lumira
