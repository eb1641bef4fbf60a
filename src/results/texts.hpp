// The fixed texts of the result classes: docstrings and description parts.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumira::results {

struct AttributeDoc {
    std::string_view name;
    std::string_view type;
    std::vector<std::string_view> meaning;  // one entry per line
};

struct ClassTexts {
    std::string_view name;
    bool derivesFromBase;  // BaseDataReturn, or object
    std::vector<std::string_view> ownParameters;
    bool collectsKeywords;  // has the var-keyword parameter `kwds`
    std::vector<std::string_view> paragraphs;
    std::vector<AttributeDoc> attributes;  // own attributes, in documentation order
    std::string_view descriptionAddition;  // appended to the base description
};

extern const std::string_view baseDescription;

// The nine classes in the order the module creates them.
const std::vector<ClassTexts>& classTexts();

// Lays a class docstring out: paragraphs, then the "Attributes:" section.
std::string buildDocstring(const ClassTexts& texts);

}  // namespace lumira::results
