// Copies of 3D records into bounded scratch rows, checked against plain
// reads of the same bytes: what the 3D fuzz targets share.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "extract/record_info.hpp"
#include "extract/records.hpp"
#include "extract/spectrum.hpp"
#include "extract/three_d.hpp"
#include "fuzz_input.hpp"

namespace lumira::fuzz {

// Caps on what one run copies, so a count taken from the input keeps each run small.
inline constexpr std::int64_t maxPoints = 4096;
inline constexpr std::size_t maxCopied = 64;

// The label as a plain byte-by-byte read of the info record finds it.
inline std::vector<std::uint8_t> labelByBytes(ByteSource& source, const BlockHead& head, std::int64_t recordOffset) {
    std::vector<std::uint8_t> text;
    for (std::int64_t at = infoLabelOffset; at < head.infoSize; ++at) {
        const std::int64_t position = recordOffset + head.blockSize + at;
        std::uint8_t byte = 0;
        if (position < 0 || source.readAt(static_cast<std::uint64_t>(position), {&byte, 1}) != 1 || byte == 0) break;
        text.push_back(byte);
    }
    return text;
}

// The fixed part of an info record as plain reads of its bytes find it:
// within its infoSize and the file, never past them; and the row stored
// from it holds each field the record holds whole as the file has it.
inline void checkInfoFields(ByteSource& source, const BlockHead& head, std::int64_t recordOffset,
                            const InfoRecord& info, const InfoRows& rows, std::size_t row) {
    std::uint8_t lead[infoFieldsSize];
    const std::size_t held = info.leading(lead);
    require(static_cast<std::int64_t>(held) <= std::clamp<std::int64_t>(head.infoSize, 0, infoFieldsSize),
            "info fields read past their record");
    for (std::size_t at = 0; at < held; ++at) {
        const std::int64_t position = recordOffset + head.blockSize + static_cast<std::int64_t>(at);
        std::uint8_t byte = 0;
        require(position >= 0 && source.readAt(static_cast<std::uint64_t>(position), {&byte, 1}) == 1 &&
                    byte == lead[at],
                "info fields differ from the file");
    }
    rows.store(row, info);
    std::vector<std::uint8_t> stored(rows.layout().size);
    const InfoRows one(stored, rows.layout());
    one.store(0, info);  // read from the file, not taken from a copy
    for (const InfoField& field : infoFields) {
        const auto at = rows.layout().base + static_cast<std::size_t>(field.offset);
        const std::size_t width = field.real ? 8 : 4;
        const bool whole = static_cast<std::size_t>(field.offset) + width <= held;
        if (!whole) continue;
        require(std::memcmp(stored.data() + at, lead + field.offset, width) == 0 &&
                    std::memcmp(rows.row(row).data() + at, lead + field.offset, width) == 0,
                "an info field differs from the file");
    }
}

// Copies the records that pass the whole-record check into scratch rows and
// compares the batched copy with plain reads of the same bytes.
inline void copyChecked(ByteSource& source, const BlockHead& head, const std::vector<RecordOffset>& records,
                        std::int64_t points, bool whole) {
    const auto width = static_cast<std::size_t>(points);
    std::vector<RecordOffset> held;
    for (const RecordOffset& record : records) {
        if (held.size() == maxCopied) break;
        handled([&] {
            requireWholeRecord(head, source, record.number, record.offset, points);
            held.push_back(record);
        });
    }
    std::vector<float> rows(held.size() * width);
    // The info rows of whole tails (where the layout allows) take every other record's tail straight from
    // the copy; the others are read when stored.
    const InfoLayout layout = infoLayout(head, points);
    std::vector<std::uint8_t> infoMemory(held.size() * layout.size);
    const InfoRows infoRows(infoMemory, layout);
    infoRows.clearFrom(0);
    std::vector<RecordTarget> targets;
    for (std::size_t k = 0; k < held.size(); ++k) {
        targets.push_back({held[k].offset, std::span<float>(rows).subspan(k * width, width)});
        if (k % 2 == 0) targets.back().tail = infoRows.tail(k);
    }
    std::vector<std::size_t> visited;
    handled([&] {
        copyRecords(source, head, targets, [&](std::size_t k, const InfoRecord& info) {
            require(k < targets.size() && (visited.empty() || k > visited.back()), "records visited out of order");
            visited.push_back(k);
            const std::vector<std::uint8_t> label = info.label();
            require(label == labelByBytes(source, head, targets[k].offset), "label differs from the file");
            const std::optional<double> value = info.value();
            // A file that shrank while read tells the two apart; only a whole one must agree.
            if (!whole) return;
            checkInfoFields(source, head, targets[k].offset, info, infoRows, k);
            require(value.has_value() == !recordValueCut(source, head, targets[k].offset),
                    "value and cut check disagree");
            if (value) {
                ShortReads shortReads;
                Cursor cursor(source, shortReads);
                const double direct = readRecordValue(cursor, head, targets[k].offset);
                require(std::memcmp(&direct, &*value, sizeof direct) == 0 && shortReads.empty(),
                        "value differs from the file");
            }
        });
        require(visited.size() == targets.size(), "a record was not visited");
        std::vector<float> direct(width);
        for (std::size_t k = 0; k < targets.size(); ++k) {
            readFloats(source, targets[k].offset, direct);
            require(std::equal(direct.begin(), direct.end(), targets[k].values.begin(),
                               [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }),
                    "copied values differ from the file");
        }
    });
}

}  // namespace lumira::fuzz
