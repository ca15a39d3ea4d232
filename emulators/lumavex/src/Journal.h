// The call journal: one line per entry-point call, the newest LUMAVEX_EMU_JOURNAL_LIMIT kept.
#pragma once

#include <cstddef>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>

namespace lumavex_emu {

constexpr std::size_t kJournalLimit = 10000;

// A text argument as the journal writes it: "(null)" for a null one.
std::string JournalField(const char* text);

class Journal {
public:
    // One line of the fields joined by '|'; line breaks inside a field become spaces.
    void Add(std::initializer_list<std::string> fields);
    // Every line kept, each ended by a line break.
    std::string Dump();
    void Clear();

private:
    std::mutex mutex_;
    std::deque<std::string> lines_;
};

}  // namespace lumavex_emu
