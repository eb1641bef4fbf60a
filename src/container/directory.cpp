#include "container/directory.hpp"

#include <algorithm>
#include <array>

namespace lumira {

MagicTest testMagic(ByteSource& source) {
    std::array<std::uint8_t, 4> raw{};
    const std::size_t got = source.readAt(0, raw);
    MagicTest result;
    result.bytes.assign(raw.begin(), raw.begin() + got);
    result.complete = got == raw.size();
    if (result.complete) {
        const auto word = static_cast<std::int32_t>((std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) |
                                                    (std::uint32_t{raw[2]} << 8) | std::uint32_t{raw[3]});
        result.isOpus = word == opusMagic;
    }
    return result;
}

namespace {

constexpr std::int64_t headerDirectoryOffset = 4;

// Room for `count` entries of `entrySize` bytes, as many as the file holds.
void makeRoom(const Cursor& cursor, std::int64_t count, std::uint64_t entrySize, Directory& directory) {
    if (count > 0)
        directory.reserve(directory.size() +
                          static_cast<std::size_t>(std::min(static_cast<std::uint64_t>(count), cursor.remaining() / entrySize)));
}

void readFirstDirectory(Cursor& cursor, std::int32_t count, Directory& directory, std::int64_t& extensionOffset) {
    makeRoom(cursor, count, 12, directory);
    for (std::int32_t i = 0; i < count && !cursor.atEnd(); ++i) {
        const std::int32_t word = cursor.readInt();
        DirectoryEntry entry{decodeBlockType(word), 0, 0, static_cast<std::uint32_t>(word)};
        entry.sizeInWords = cursor.readInt();
        entry.byteOffset = cursor.readInt();
        directory.push_back(entry);
        if (entry.btt.extendType == codes::extendDirectory) extensionOffset = entry.byteOffset;
    }
}

void readExtendedDirectory(Cursor& cursor, Directory& directory) {
    const std::int64_t count = cursor.readInt64();
    cursor.readInt64();  // stored, never used
    makeRoom(cursor, count, 32, directory);
    for (std::int64_t i = 0; i < count && !cursor.atEnd(); ++i) {
        const std::int64_t word = cursor.readInt64();
        DirectoryEntry entry{decodeBlockType(word), 0, 0, word};
        entry.sizeInWords = cursor.readInt64();
        entry.byteOffset = cursor.readInt64();
        cursor.readInt64();  // stored, never used
        directory.push_back(entry);
    }
}

}  // namespace

Directory readDirectory(Cursor& cursor) {
    cursor.seek(headerDirectoryOffset);
    cursor.readDouble();  // format version: read, not used
    const std::int32_t offsetToDirectory = cursor.readInt();
    cursor.readInt();  // directory capacity: read, not used
    const std::int32_t dirSize = cursor.readInt();

    Directory directory;
    std::int64_t extensionOffset = 0;
    cursor.seek(offsetToDirectory);
    readFirstDirectory(cursor, dirSize, directory, extensionOffset);
    if (extensionOffset != 0) {
        cursor.seek(extensionOffset);
        readExtendedDirectory(cursor, directory);
    }
    return directory;
}

}  // namespace lumira
