#include "Journal.h"

#include <utility>

#include "Faults.h"

namespace lumavex_emu {

std::string JournalField(const char* text) { return text == nullptr ? "(null)" : text; }

void Journal::Add(std::initializer_list<std::string> fields) {
    std::string line;
    for (const std::string& field : fields) {
        if (&field != fields.begin()) {
            line += '|';
        }
        line += field;
    }
    // One entry per line even when an argument (token JSON) spans several.
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    const auto limit = static_cast<std::size_t>(EnvNumber("LUMAVEX_EMU_JOURNAL_LIMIT", kJournalLimit));
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
    while (lines_.size() > limit) {
        lines_.pop_front();
    }
}

std::string Journal::Dump() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += '\n';
    }
    return text;
}

void Journal::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

}  // namespace lumavex_emu
