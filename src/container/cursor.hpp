// A position in a file and the five little-endian field readers.
//
// A field cut short by the end of the file does not stop the reader: it is
// recorded as a ShortRead and read as zero, and the bytes that were there
// stay consumed. The module reports the recorded short reads afterwards,
// in order, the way the host reports ignored exceptions.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "container/byte_source.hpp"

namespace lumira {

enum class Field { Int, Short, Int64, Float, Double };

struct ShortRead {
    Field field;
    std::vector<std::uint8_t> bytes;  // what the file still held
};

using ShortReads = std::vector<ShortRead>;

// Decodes fields in place of the native little-endian decoding, for a host
// that asked for a decoding of its own. It gets the bytes the file held for
// the field (fewer than its width at the end of the file) and gives the
// value, in the field's range, or nothing when the decoding failed; it
// reports failures itself, and the field reads as zero.
class FieldDecoder {
public:
    virtual ~FieldDecoder() = default;
    virtual std::optional<std::int64_t> integer(Field field, std::span<const std::uint8_t> bytes) = 0;
    virtual std::optional<double> real(Field field, std::span<const std::uint8_t> bytes) = 0;
};

class Cursor {
public:
    // Without a decoder, fields are decoded natively and short ones recorded.
    Cursor(ByteSource& source, ShortReads& shortReads, FieldDecoder* decoder = nullptr) noexcept
        : source_(source), shortReads_(shortReads), decoder_(decoder) {}

    ByteSource& source() const noexcept { return source_; }
    std::uint64_t position() const noexcept { return position_; }
    // Whether fields are decoded natively (no host decoding was asked for).
    bool decodesNatively() const noexcept { return decoder_ == nullptr; }
    // A read that came up short ends the file here too, even where the size
    // taken when it was opened says otherwise: someone truncated it since, and
    // loops bounded by the end of the file must still stop.
    bool atEnd() const noexcept { return cutShort_ || position_ >= source_.size(); }
    std::uint64_t remaining() const noexcept { return cutShort_ ? 0 : source_.available(position_); }

    // Absolute move. A negative target fails as the host's seek does (EINVAL).
    // Clears the end found by a short read: the bytes before it are still there.
    void seek(std::int64_t target);

    std::int32_t readInt() { return readField<std::int32_t>(Field::Int); }
    std::int16_t readShort() { return readField<std::int16_t>(Field::Short); }
    std::int64_t readInt64() { return readField<std::int64_t>(Field::Int64); }
    float readFloat() { return readField<float>(Field::Float); }
    double readDouble() { return readField<double>(Field::Double); }

    // Reads up to out.size() bytes; fewer at the end of the file.
    std::size_t readBytes(std::span<std::uint8_t> out);

private:
    template <typename T>
    T readField(Field field) {
        if (decoder_ != nullptr) return readDecoded<T>(field);
        // Most fields lie inside the bytes the source already holds.
        if (view_.generation == source_.generation() && position_ >= view_.start &&
            position_ - view_.start + sizeof(T) <= view_.bytes.size()) {
            T value;
            std::memcpy(&value, view_.bytes.data() + (position_ - view_.start), sizeof value);
            position_ += sizeof value;
            return value;
        }
        std::uint8_t raw[sizeof(T)];
        return readFieldSlowly(field, raw) ? decode<T>(raw) : T{};
    }

    template <typename T>
    T readDecoded(Field field) {
        std::uint8_t raw[sizeof(T)];
        const std::span<const std::uint8_t> held(raw, readBytes(std::span<std::uint8_t>(raw, sizeof raw)));
        if constexpr (std::is_floating_point_v<T>) {
            return static_cast<T>(decoder_->real(field, held).value_or(0.0));
        } else {
            return static_cast<T>(decoder_->integer(field, held).value_or(0));
        }
    }

    template <typename T>
    static T decode(const std::uint8_t* raw) {
        T value;
        std::memcpy(&value, raw, sizeof value);
        return value;
    }

    // Fills `raw` (its size is the field's); false on a short read, recorded.
    template <std::size_t N>
    bool readFieldSlowly(Field field, std::uint8_t (&raw)[N]);

    struct View {
        std::span<const std::uint8_t> bytes;
        std::uint64_t start = 0;
        std::uint64_t generation = ~std::uint64_t{0};
    };

    ByteSource& source_;
    ShortReads& shortReads_;
    FieldDecoder* decoder_;
    std::uint64_t position_ = 0;
    bool cutShort_ = false;
    View view_;
};

}  // namespace lumira
