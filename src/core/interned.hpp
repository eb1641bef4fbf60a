// Interned str objects for the names the module uses again and again
// (attribute names, keyword names, parameter codes). An interned str carries
// its hash, so lookups with it skip hashing, and it is made only once.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/ref.hpp"

namespace lumira::py {

// The interned str with this text (valid UTF-8). Needs the interpreter lock;
// throws ErrorAlreadySet on failure.
Ref interned(std::string_view text);

// interned(text) for a text of at most seven bytes whose bytes the caller
// has packed already: `packed` holds them from its lowest byte on, and the
// length in its highest.
Ref internedShort(std::uint64_t packed, std::string_view text);

}  // namespace lumira::py
