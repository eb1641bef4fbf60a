#include "extract/records.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "core/checked.hpp"
#include "extract/copy_threads.hpp"
#include "extract/spectrum.hpp"

namespace lumira {

namespace {

// Records are read together only while their info parts stay small, so the
// scratch area stays small whatever sizes a head claims.
constexpr std::int64_t largestBatchedTail = 64 * 1024;
constexpr std::size_t recordsPerBatch = 512;

}  // namespace

thread_local CopyThreads::Setting CopyThreads::current_{1, CopyThreads::defaultMinimumShare};

std::size_t InfoRecord::read(std::int64_t at, std::span<std::uint8_t> out) const {
    const std::int64_t fromStart = std::int64_t{head_.blockSize} + at;
    const std::int64_t inScratch = fromStart - scratchStart_;
    if (out.empty()) return 0;
    if (inScratch >= 0 &&
        inScratch + static_cast<std::int64_t>(out.size()) <= static_cast<std::int64_t>(scratch_.size())) {
        std::memcpy(out.data(), scratch_.data() + inScratch, out.size());
        return out.size();
    }
    const std::int64_t position = addOffset(recordOffset_, fromStart);
    if (position < 0) return 0;
    return source_.readAt(static_cast<std::uint64_t>(position), out);
}

std::optional<double> InfoRecord::value() const {
    std::uint8_t raw[sizeof(double)];
    if (read(infoValueOffset, raw) < sizeof raw) return std::nullopt;
    double result;
    std::memcpy(&result, raw, sizeof result);
    return result;
}

std::vector<std::uint8_t> InfoRecord::label() const {
    std::vector<std::uint8_t> text;
    std::uint8_t piece[256];
    for (std::int64_t at = infoLabelOffset; at < head_.infoSize;) {
        const auto asked = static_cast<std::size_t>(std::min<std::int64_t>(head_.infoSize - at, sizeof piece));
        const std::size_t got = read(at, std::span<std::uint8_t>(piece, asked));
        const auto end = std::find(piece, piece + got, std::uint8_t{0});
        text.insert(text.end(), piece, end);
        if (end != piece + got || got < asked) break;
        at += static_cast<std::int64_t>(got);
    }
    return text;
}

std::size_t InfoRecord::leading(std::span<std::uint8_t> out) const {
    const auto wanted = static_cast<std::size_t>(std::clamp<std::int64_t>(head_.infoSize, 0, std::ssize(out)));
    return read(0, out.first(wanted));
}

namespace {

// Copies `targets`, whose first is target `base` of the whole run.
void copyRun(ByteSource& source, const BlockHead& head, std::span<const RecordTarget> targets, std::size_t base,
             const InfoVisitor& visit, const TailCut& cut) {
    const std::int64_t stride = head.stride();
    std::vector<std::span<std::uint8_t>> pieces;
    std::unique_ptr<std::uint8_t[]> scratch;  // filled by each read before use
    std::size_t scratchSize = 0;
    for (std::size_t first = 0; first < targets.size();) {
        const auto valueBytes = static_cast<std::int64_t>(targets[first].values.size_bytes());
        const std::int64_t tail = stride - valueBytes;
        // Neighbours: each record starts where the previous one ends.
        std::size_t last = first + 1;
        if (tail >= 0 && tail <= largestBatchedTail) {
            while (last < targets.size() && last - first < recordsPerBatch &&
                   targets[last].offset == targets[last - 1].offset + stride &&
                   static_cast<std::int64_t>(targets[last].values.size_bytes()) == valueBytes)
                ++last;
        }
        if (tail < 0 || tail > largestBatchedTail) {
            readFloats(source, targets[first].offset, targets[first].values);
            if (visit) visit(base + first, InfoRecord(source, head, targets[first].offset, {}, 0));
            first = last;
            continue;
        }
        const auto ownTail = [&](std::size_t k) { return targets[k].tail.size() == static_cast<std::size_t>(tail); };
        bool shared = false;
        for (std::size_t k = first; k < last && !shared; ++k) shared = !ownTail(k);
        const std::size_t needed = shared ? static_cast<std::size_t>(tail) * (last - first) : 0;
        if (needed > scratchSize) {
            scratch = std::make_unique_for_overwrite<std::uint8_t[]>(needed);
            scratchSize = needed;
        }
        pieces.clear();
        for (std::size_t k = first; k < last; ++k) {
            auto values = std::as_writable_bytes(targets[k].values);
            pieces.emplace_back(reinterpret_cast<std::uint8_t*>(values.data()), values.size());
            // A tail of its own, or a slice of the scratch.
            if (ownTail(k)) {
                pieces.push_back(targets[k].tail);
            } else {
                pieces.emplace_back(scratch.get() + (k - first) * static_cast<std::size_t>(tail),
                                    static_cast<std::size_t>(tail));
            }
        }
        const std::size_t got = source.readScattered(static_cast<std::uint64_t>(targets[first].offset), pieces);
        for (std::size_t k = first; k < last; ++k) {
            // The values were checked to be in the file; only the tails may be cut. Records of no
            // values need no bytes: a gap can place them past the end of the file.
            const auto recordStart = static_cast<std::size_t>(targets[k].offset - targets[first].offset);
            const std::size_t recordEnd = recordStart + static_cast<std::size_t>(stride);
            const std::size_t valuesEnd = recordStart + static_cast<std::size_t>(valueBytes);
            if (valueBytes > 0 && got < valuesEnd)
                failValue("The file ended early at offset " + std::to_string(targets[k].offset) +
                          ": it changed while being read");
            const std::size_t tailHeld = got > valuesEnd ? std::min(got, recordEnd) - valuesEnd : 0;
            if (ownTail(k) && tailHeld < static_cast<std::size_t>(tail)) {
                std::memset(targets[k].tail.data() + tailHeld, 0, static_cast<std::size_t>(tail) - tailHeld);
                if (cut) cut(base + k, tailHeld);
            }
            if (visit) {
                const std::span<const std::uint8_t> held(
                    ownTail(k) ? targets[k].tail.data() : scratch.get() + (k - first) * static_cast<std::size_t>(tail),
                    tailHeld);
                visit(base + k, InfoRecord(source, head, targets[k].offset, held, valueBytes));
            }
        }
        first = last;
    }
}

}  // namespace

void copyRecords(ByteSource& source, const BlockHead& head, std::span<const RecordTarget> targets,
                 const InfoVisitor& visit, const TailCut& cut) {
    std::size_t bytes = 0;
    for (const RecordTarget& target : targets) bytes += target.values.size_bytes();
    const std::size_t threads =
        std::min<std::size_t>({CopyThreads::current(), bytes / CopyThreads::minimumShare(), targets.size()});
    if (threads <= 1) return copyRun(source, head, targets, 0, visit, cut);

    // Contiguous shares, each thread reading through a source of its own.
    std::vector<std::exception_ptr> failures(threads);
    {
        std::vector<std::jthread> helpers;
        const std::size_t share = (targets.size() + threads - 1) / threads;
        for (std::size_t part = 1; part < threads; ++part) {
            const std::size_t first = std::min(targets.size(), part * share);
            const auto slice = targets.subspan(first, std::min(share, targets.size() - first));
            helpers.emplace_back([&, slice, first, part, own = source.sibling()] {
                try {
                    copyRun(*own, head, slice, first, visit, cut);
                } catch (...) {
                    failures[part] = std::current_exception();
                }
            });
        }
        try {
            copyRun(source, head, targets.first(std::min(share, targets.size())), 0, visit, cut);
        } catch (...) {
            failures[0] = std::current_exception();
        }
    }
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

void copyRecordRange(ByteSource& source, const BlockHead& head, std::span<const RecordOffset> records,
                     std::int64_t start, std::int64_t stop, std::int64_t width, std::span<float> rows) {
    const auto rowWidth = static_cast<std::size_t>(width);
    const std::int64_t last = std::clamp(static_cast<std::int64_t>(records.size()), start, stop);
    std::vector<RecordTarget> targets;
    targets.reserve(static_cast<std::size_t>(last - start));
    for (std::int64_t row = start; row < last; ++row) {
        const RecordOffset& record = records[static_cast<std::size_t>(row)];
        requireWholeRecord(head, source, record.number, record.offset, width);
        targets.push_back({record.offset, rows.subspan(static_cast<std::size_t>(row - start) * rowWidth, rowWidth)});
    }
    std::fill(rows.begin() + static_cast<std::ptrdiff_t>(targets.size() * rowWidth),
              rows.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(stop - start) * rowWidth), 0.0f);
    copyRecords(source, head, targets);
}

}  // namespace lumira
