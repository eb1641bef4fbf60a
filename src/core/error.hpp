// Failures raised by the native core. They carry no Python objects, so the
// parsers can throw them with the interpreter lock released; the module
// boundary turns each into the matching Python exception.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lumira {

enum class ErrorKind {
    Value,         // ValueError
    Index,         // IndexError
    Key,           // KeyError
    OS,            // OSError with an errno
    Overflow,      // OverflowError
    Memory,        // MemoryError
    Type,          // TypeError
    ZeroDivision,  // ZeroDivisionError
    // The bytes failed the host's strict UTF-8 decoding; the boundary decodes
    // them again through the host so the caller sees its genuine error.
    Utf8Decode,
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, std::string message, int errnum = 0)
        : std::runtime_error(std::move(message)), kind_(kind), errnum_(errnum) {}

    ErrorKind kind() const noexcept { return kind_; }
    int errnum() const noexcept { return errnum_; }

    // For ErrorKind::Utf8Decode: the undecodable bytes.
    const std::vector<std::uint8_t>& payload() const noexcept { return payload_; }
    Error& withPayload(std::vector<std::uint8_t> bytes) {
        payload_ = std::move(bytes);
        return *this;
    }

private:
    ErrorKind kind_;
    int errnum_;
    std::vector<std::uint8_t> payload_;
};

[[noreturn]] inline void fail(ErrorKind kind, std::string message) { throw Error(kind, std::move(message)); }

[[noreturn]] inline void failValue(std::string message) { throw Error(ErrorKind::Value, std::move(message)); }

[[noreturn]] inline void failOS(int errnum) { throw Error(ErrorKind::OS, std::string(), errnum); }

}  // namespace lumira
