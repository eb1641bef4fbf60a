// Where file bytes come from. Every read is clamped to the size the source
// had when it was opened, so nothing is ever read past the real end of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace lumira {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Size of the file, fixed when the source was opened.
    std::uint64_t size() const noexcept { return size_; }

    // Bytes available from `offset` to the end of the file.
    std::uint64_t available(std::uint64_t offset) const noexcept { return offset < size_ ? size_ - offset : 0; }

    // Copies the bytes at [offset, offset + out.size()) into `out`, clamped to
    // size(); returns how many were copied. Fewer than asked means the file
    // ends (or shrank underneath us).
    virtual std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

    // Bytes from `offset` on that the source holds in memory, loading some if
    // needed; empty at the end of the file. The view stays valid while
    // generation() is unchanged.
    virtual std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) = 0;

    // Reads the bytes from `offset` on into the pieces, one after the other,
    // as one read into them all would; clamped to size(). Returns the bytes
    // copied.
    virtual std::size_t readScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces);

    std::uint64_t generation() const noexcept { return generation_; }

    // A source over the same bytes for another thread: sources keep windows
    // of the file, so threads that read one file at once each need their own.
    virtual std::unique_ptr<ByteSource> sibling() const = 0;

protected:
    // Copies the bytes at [offset, offset + out.size()) piece by piece from
    // cachedFrom(); returns how many were copied.
    std::size_t readThroughCache(std::uint64_t offset, std::span<std::uint8_t> out);

    std::uint64_t size_ = 0;
    std::uint64_t generation_ = 0;
};

// A file already in memory: parser tests and fuzz targets use it.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> data) noexcept : data_(data) { size_ = data.size(); }

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) override;
    std::unique_ptr<ByteSource> sibling() const override;

private:
    std::span<const std::uint8_t> data_;
};

// Memory for a file read whole. A thread keeps the last one it let go for
// the next file: allocating and freeing tens of kilobytes for every small
// file costs more than reading them.
class FileBuffer {
public:
    // At least `size` bytes, contents undefined.
    explicit FileBuffer(std::size_t size);
    ~FileBuffer();
    FileBuffer(FileBuffer&& other) noexcept
        : bytes_(std::exchange(other.bytes_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
    FileBuffer& operator=(FileBuffer&&) = delete;

    std::uint8_t* data() const noexcept { return bytes_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t capacity_ = 0;
};

// A small file read whole with one system call: every later read is a copy
// from memory, which costs less than the calls a window would make.
class WholeFileSource final : public ByteSource {
public:
    WholeFileSource(FileBuffer bytes, std::size_t size) noexcept
        : bytes_(std::move(bytes)), memory_(std::span<const std::uint8_t>(bytes_.data(), size)) {
        size_ = size;
    }

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
        return memory_.readAt(offset, out);
    }
    std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) override { return memory_.cachedFrom(offset); }
    std::unique_ptr<ByteSource> sibling() const override { return memory_.sibling(); }

private:
    FileBuffer bytes_;
    MemorySource memory_;
};

// An open file descriptor read with pread. Small reads are served from a
// window of the file kept in memory, so the many little fields of headers,
// directories and parameter blocks cost one system call per window; large
// reads go straight into the caller's buffer.
class DescriptorSource final : public ByteSource {
public:
    // Takes the size from fstat; throws lumira::Error (OSError) on failure.
    explicit DescriptorSource(int descriptor);
    // For a descriptor whose size the caller has just taken.
    DescriptorSource(int descriptor, std::uint64_t size) noexcept : descriptor_(descriptor) { size_ = size; }

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) override;
    std::size_t readScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces) override;
    std::unique_ptr<ByteSource> sibling() const override;

    int descriptor() const noexcept { return descriptor_; }

    static constexpr std::size_t windowSize = 16 * 1024;
    static constexpr std::size_t directReadSize = 4 * 1024;

private:
    std::size_t readDirect(std::uint64_t offset, std::span<std::uint8_t> out);
    void loadWindow(std::uint64_t offset);

    int descriptor_;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0;
};

}  // namespace lumira
