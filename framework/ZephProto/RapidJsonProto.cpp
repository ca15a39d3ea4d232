#include "ZephProto/RapidJsonProto.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <vector>

namespace proto {

namespace {

// RapidJSON 1.1.0 refuses "1e400" but lets some overflowing numbers through as infinity (for one,
// "22222222e302"); such a document could not be written out again, so it is refused as well. Walked with
// an explicit stack: the nesting depth is the sender's choice.
bool AllNumbersFinite(const rapidjson::Value& root) {
    std::vector<const rapidjson::Value*> pending{&root};
    while (!pending.empty()) {
        const rapidjson::Value* value = pending.back();
        pending.pop_back();
        if (value->IsDouble() && !std::isfinite(value->GetDouble())) return false;
        if (value->IsArray()) {
            for (const rapidjson::Value& item : value->GetArray()) pending.push_back(&item);
        } else if (value->IsObject()) {
            for (const auto& member : value->GetObject()) pending.push_back(&member.value);
        }
    }
    return true;
}

}  // namespace

struct CRapidJsonProto::Impl {
    rapidjson::Document doc;
    Impl() { doc.SetObject(); }
};

CRapidJsonProto::CRapidJsonProto() : m_pImpl(new Impl) {}
CRapidJsonProto::~CRapidJsonProto() = default;

bool CRapidJsonProto::Parse(const std::string& text) {
    rapidjson::Document parsed;
    // Iterative parsing: a hostile, deeply nested reply must not exhaust the calling thread's stack.
    parsed.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (parsed.HasParseError() || !AllNumbersFinite(parsed)) {
        m_pImpl->doc.SetObject();
        return false;
    }
    m_pImpl->doc.Swap(parsed);
    return true;
}

std::string CRapidJsonProto::Serialize(int) const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    m_pImpl->doc.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string CRapidJsonProto::GetString(const std::string& pointer, const std::string& def) const {
    rapidjson::Pointer p(pointer.c_str(), pointer.size());
    if (!p.IsValid()) return def;
    const rapidjson::Value* value = p.Get(m_pImpl->doc);
    if (value == nullptr || !value->IsString()) return def;
    return std::string(value->GetString(), value->GetStringLength());
}

int32_t CRapidJsonProto::GetInt(const std::string& pointer, int32_t def) const {
    rapidjson::Pointer p(pointer.c_str(), pointer.size());
    if (!p.IsValid()) return def;
    const rapidjson::Value* value = p.Get(m_pImpl->doc);
    if (value == nullptr || !value->IsInt()) return def;
    return value->GetInt();
}

void CRapidJsonProto::SetInt(const std::string& pointer, int32_t value) {
    rapidjson::Pointer p(pointer.c_str(), pointer.size());
    if (!p.IsValid()) return;
    p.Set(m_pImpl->doc, value);
}

void CRapidJsonProto::SetString(const std::string& pointer, const std::string& value) {
    rapidjson::Pointer p(pointer.c_str(), pointer.size());
    if (!p.IsValid()) return;
    rapidjson::Value text(value.data(), static_cast<rapidjson::SizeType>(value.size()), m_pImpl->doc.GetAllocator());
    p.Set(m_pImpl->doc, text);
}

}  // namespace proto
