// Parameter records as the `parameters` dictionary of a result.
#pragma once

#include "core/ref.hpp"
#include "extract/parameters.hpp"
#include "extract/text_encoding.hpp"

namespace lumira::extract {

// Puts the records into a new dict in order: a later record of a name
// replaces the value and keeps the name's first position.
py::Ref parameterDict(const Parameters& parameters, TextEncoding encoding = TextEncoding::Cp1252);

// parameters[name], failing with KeyError(name) like the dictionary does.
py::Ref lookup(py::Borrowed parameters, const char* name);

// A record's value as an object: int, float or str (in the file's encoding).
py::Ref valueOf(const ParameterValue& value, TextEncoding encoding = TextEncoding::Cp1252);

// Stores `value` under `name` in `into` (a dict), replacing any earlier value.
void store(py::Borrowed into, const Parameter& parameter, TextEncoding encoding = TextEncoding::Cp1252);

}  // namespace lumira::extract
