#include "container/cursor.hpp"

#include <bit>
#include <cerrno>

#include "core/error.hpp"

namespace lumira {

static_assert(std::endian::native == std::endian::little,
              "the field readers decode little-endian files by copying bytes");

void Cursor::seek(std::int64_t target) {
    if (target < 0) failOS(EINVAL);
    position_ = static_cast<std::uint64_t>(target);
    cutShort_ = false;
}

std::size_t Cursor::readBytes(std::span<std::uint8_t> out) {
    if (out.empty()) return 0;  // an empty span may carry no pointer to copy to
    if (view_.generation == source_.generation() && position_ >= view_.start &&
        position_ - view_.start + out.size() <= view_.bytes.size()) {
        std::memcpy(out.data(), view_.bytes.data() + (position_ - view_.start), out.size());
        position_ += out.size();
        return out.size();
    }
    const std::size_t got = source_.readAt(position_, out);
    position_ += got;
    if (got < out.size()) cutShort_ = true;
    return got;
}

template <std::size_t N>
bool Cursor::readFieldSlowly(Field field, std::uint8_t (&raw)[N]) {
    const auto cached = source_.cachedFrom(position_);
    view_ = {cached, position_, source_.generation()};
    const std::size_t got = readBytes(std::span<std::uint8_t>(raw, N));
    if (got == N) return true;
    shortReads_.push_back({field, std::vector<std::uint8_t>(raw, raw + got)});
    return false;
}

template bool Cursor::readFieldSlowly<2>(Field, std::uint8_t (&)[2]);
template bool Cursor::readFieldSlowly<4>(Field, std::uint8_t (&)[4]);
template bool Cursor::readFieldSlowly<8>(Field, std::uint8_t (&)[8]);

}  // namespace lumira
