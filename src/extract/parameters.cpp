#include "extract/parameters.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "core/error.hpp"
#include "extract/utf8.hpp"

namespace lumira {

namespace {

enum ParameterType : std::int16_t { integerType = 0, realType = 1, firstTextType = 2, lastTextType = 4 };

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

void readParameterBlock(Cursor& cursor, std::int64_t offset, Parameters& into, std::size_t recordLimit) {
    cursor.seek(offset);
    std::size_t records = 0;
    // Blocks hold tens of records: room for them saves the vector's early growth
    // (doubling, so that block after block appended to one vector costs no more).
    if (into.capacity() < into.size() + 32) into.reserve(std::max(into.size() + 32, 2 * into.capacity()));
    for (;;) {
        std::array<std::uint8_t, 4> rawName{};
        const std::size_t got = cursor.readBytes(rawName);
        const std::span<const std::uint8_t> nameBytes(rawName.data(), got);
        if (!isValidUtf8(nameBytes))
            throw Error(ErrorKind::Utf8Decode, "invalid parameter name")
                .withPayload(std::vector<std::uint8_t>(nameBytes.begin(), nameBytes.end()));
        const std::string_view name = trimNuls(nameBytes);
        if (name == "END") return;
        // Without four name bytes the block cannot go on: every later read
        // would come back empty and the block would never end.
        if (got < rawName.size()) {
            // Said so, a cut file is not mistaken for a block whose END is missing.
            const std::uint64_t fileEnd = std::min(cursor.position(), cursor.source().size());
            failDamaged(offset, "the file ends at byte " + std::to_string(fileEnd) + ", before its END record");
        }

        if (++records > recordLimit)
            failDamaged(offset, "its records overlap other blocks' beyond what the file's size allows");
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
        into.push_back({std::string(name), std::move(value)});
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
        std::uint64_t skip = 0;
        if (type == integerType) {
            skip = 4;
        } else if (type == realType) {
            skip = 8;
        } else if (type >= firstTextType && type <= lastTextType && size >= 0) {
            skip = static_cast<std::uint64_t>(size) * 2;
        } else {
            return std::nullopt;
        }
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
