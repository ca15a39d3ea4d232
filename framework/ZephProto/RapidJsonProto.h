// JSON message object addressed by JSON Pointers (RFC 6901).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace proto {

class CRapidJsonProto {
public:
    CRapidJsonProto();
    ~CRapidJsonProto();
    CRapidJsonProto(const CRapidJsonProto&) = delete;
    CRapidJsonProto& operator=(const CRapidJsonProto&) = delete;

    // Loads a JSON text. Text that is not one complete JSON document leaves an empty object, so every
    // read then yields its default. Returns whether the text was JSON.
    bool Parse(const std::string& text);
    // The compact JSON text (no insignificant white space). The flag is reserved and ignored.
    std::string Serialize(int flag) const;

    // The string at the pointer; the default when absent, not a string, or the pointer is malformed.
    std::string GetString(const std::string& pointer, const std::string& def) const;
    // The integer at the pointer when it is a JSON integer within 32 bits; the default otherwise.
    int32_t GetInt(const std::string& pointer, int32_t def) const;

    // Create the member (and enclosing objects); new members follow the existing ones in the text.
    void SetInt(const std::string& pointer, int32_t value);
    void SetString(const std::string& pointer, const std::string& value);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace proto
