#include "parts/history.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace lumira::parts {

namespace {

[[noreturn]] void failDamaged(std::int64_t blockOffset, const std::string& why) {
    failValue("History block at offset " + std::to_string(blockOffset) + " is damaged: " + why);
}

std::string_view field(std::string_view text, std::size_t index) {
    for (std::size_t skipped = 0; skipped < index; ++skipped) {
        const auto tab = text.find('\t');
        if (tab == std::string_view::npos) return {};
        text.remove_prefix(tab + 1);
    }
    return text.substr(0, text.find('\t'));
}

std::size_t fieldCount(std::string_view text) { return 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\t')); }

// "2021/03/04 10:11:12", the start of an operation's time field.
bool startsWithTime(std::string_view text) {
    constexpr std::string_view shape = "dddd/dd/dd dd:dd:dd";
    if (text.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
    }
    return true;
}

bool isTitle(std::string_view text) {
    return fieldCount(text) >= 3 && !field(text, 0).empty() && startsWithTime(field(text, 2));
}

// Operator (a label and the name, "<label>:<name>"), software, file, validation state.
bool isSessionHeader(std::string_view text) {
    return fieldCount(text) == 4 && field(text, 0).find(':') != std::string_view::npos;
}

HistoryLine kindOf(std::string_view text, bool opensSession) {
    if (text.starts_with("\t\t\t")) return HistoryLine::Command;
    if (isTitle(text)) return HistoryLine::Title;
    if (opensSession && isSessionHeader(text)) return HistoryLine::Session;
    return HistoryLine::Detail;
}

}  // namespace

std::vector<HistoryRecord> readHistory(std::span<const std::uint8_t> block, std::int64_t blockOffset) {
    if (block.size() < historyHeadSize)
        failDamaged(blockOffset, "it holds " + std::to_string(block.size()) + " bytes, fewer than its " +
                                     std::to_string(historyHeadSize) + "-byte head");
    const auto headText = std::find_if(block.begin(), block.begin() + historyHeadSize, [](std::uint8_t b) { return b != 0; });
    if (headText != block.begin() + historyHeadSize)
        failDamaged(blockOffset, "its head holds text at byte " + std::to_string(headText - block.begin()));

    const std::string_view bytes(reinterpret_cast<const char*>(block.data()), block.size());
    std::vector<HistoryRecord> records;
    bool opensSession = true;  // at the start, and after an operation's command line
    std::size_t at = historyHeadSize;
    while (at < bytes.size()) {
        if (bytes[at] == '\0') {
            ++at;
            continue;
        }
        const std::size_t end = bytes.find('\0', at);
        if (end == std::string_view::npos)
            failDamaged(blockOffset, "its text at byte " + std::to_string(at) + " runs to the end of the block without its NUL");
        const std::string_view text = bytes.substr(at, end - at);
        const HistoryLine kind = kindOf(text, opensSession);
        opensSession = kind == HistoryLine::Command;
        records.push_back({kind, at, text.size()});
        at = end + 1;
    }
    return records;
}

}  // namespace lumira::parts
