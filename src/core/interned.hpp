// Interned str objects for the names the module uses again and again
// (attribute names, keyword names, parameter codes). An interned str carries
// its hash, so lookups with it skip hashing, and it is made only once.
#pragma once

#include <string_view>

#include "core/ref.hpp"

namespace lumira::py {

// The interned str with this text (valid UTF-8). Needs the interpreter lock;
// throws ErrorAlreadySet on failure.
Ref interned(std::string_view text);

}  // namespace lumira::py
