#include "container/open_path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lumira {

int Descriptor::close() noexcept {
    if (descriptor_ < 0) return 0;
    const int closing = std::exchange(descriptor_, -1);
    return ::close(closing) != 0 && errno != EINTR ? errno : 0;
}

void Descriptor::closeQuietly() noexcept {
    if (descriptor_ >= 0) ::close(std::exchange(descriptor_, -1));
}

namespace {

// Reads up to `size` bytes from the start into `bytes`; fewer if the file
// shrank. Returns how many, or -1 (errno set) when a read fails.
std::int64_t readFromStart(int descriptor, std::uint8_t* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(descriptor, bytes + done, size - done, static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace

OpenedPath openPath(const char* path, std::uint64_t wholeLimit) {
    OpenedPath opened;
    int descriptor;
    do {
        descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        opened.errnum = errno;
        return opened;
    }
    opened.descriptor = Descriptor(descriptor);
    struct stat status{};
    if (fstat(descriptor, &status) != 0) {
        opened.errnum = errno;
        return opened;
    }
    if (S_ISDIR(status.st_mode)) {
        opened.errnum = EISDIR;
        return opened;
    }
    const std::uint64_t size = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    if (S_ISREG(status.st_mode) && size <= wholeLimit) {
        FileBuffer bytes(static_cast<std::size_t>(size));
        const std::int64_t held = readFromStart(descriptor, bytes.data(), static_cast<std::size_t>(size));
        if (held < 0) {
            opened.errnum = errno;
            return opened;
        }
        opened.source = std::make_unique<WholeFileSource>(std::move(bytes), static_cast<std::size_t>(held));
        if (const int failed = opened.descriptor.close(); failed != 0) {
            opened.source.reset();
            opened.errnum = failed;
        }
        return opened;
    }
    opened.source = std::make_unique<DescriptorSource>(descriptor, size);
    return opened;
}

}  // namespace lumira
