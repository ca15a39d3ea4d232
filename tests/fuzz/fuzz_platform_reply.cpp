// Reply bodies from the platform server, the Base64 decoder and the JSON object underneath, on arbitrary bytes; and
// the device token request, built from the same object with a serial from the host's URL.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "FuzzSupport.h"
#include "HttpClient/VantraLinkInterfaceMgr.h"
#include "ZephBase/Encrypt.h"
#include "ZephProto/RapidJsonProto.h"

using PexloCommon::CVantraLinkInterfaceMgr;
using PexloCommon::NubrixAccessInfo;
namespace Encrypt = Zeph::Base::Encrypt;

namespace {

const char kUnset[] = "\x01unset";

// The canonical padded form of Base64 text whose padding is optional.
std::string Padded(std::string text) {
    while (!text.empty() && text.back() == '=') text.pop_back();
    while (text.size() % 4 != 0) text += '=';
    return text;
}

void CheckBase64(const std::string& text) {
    std::string out = kUnset;
    if (Encrypt::Base64Decode(out, text)) {
        // Only canonical text decodes: encoding the bytes again gives the text back.
        FUZZ_CHECK(Encrypt::Base64Encode(out) == Padded(text));
    } else {
        FUZZ_CHECK(out.empty());
    }
    const std::string encoded = Encrypt::Base64Encode(text);
    FUZZ_CHECK(encoded.size() % 4 == 0);
    FUZZ_CHECK(Encrypt::Base64Decode(out, encoded) && out == text);
    FUZZ_CHECK(Encrypt::Base64Decode(out, encoded.substr(0, encoded.find('='))) && out == text);
}

// A decoded field is the decoded text, or empty when the field was no Base64.
void CheckDecoded(const std::string& decoded, const std::string& field) {
    if (!decoded.empty()) FUZZ_CHECK(Encrypt::Base64Encode(decoded) == Padded(field));
}

const std::pair<std::string NubrixAccessInfo::*, const char*> kPlainFields[] = {
    {&NubrixAccessInfo::nubrixAddr, "/data/nubrixAddr"},
    {&NubrixAccessInfo::appKey, "/data/appKey"},
    {&NubrixAccessInfo::nubrixType, "/data/nubrixType"},
    {&NubrixAccessInfo::authAddr, "/data/authAddr"},
    {&NubrixAccessInfo::openAddr, "/data/openAddr"}};

void CheckReplies(const std::string& body) {
    NubrixAccessInfo info;
    info.accessToken = kUnset;
    for (const auto& field : kPlainFields) info.*field.first = kUnset;
    const bool accepted = CVantraLinkInterfaceMgr::ParseAccessInfoReply(body, info);
    proto::CRapidJsonProto reply;
    const bool json = reply.Parse(body);
    FUZZ_CHECK(accepted == (json && reply.GetInt("/code", -1) == 0));
    // A refused reply leaves the caller's access information as it was.
    for (const auto& field : kPlainFields) {
        FUZZ_CHECK(info.*field.first == (accepted ? reply.GetString(field.second, "") : kUnset));
    }
    std::string tokenJson = kUnset;
    FUZZ_CHECK(CVantraLinkInterfaceMgr::ParseDeviceTokenReply(body, tokenJson) == accepted);  // the code alone
    if (!accepted) {
        FUZZ_CHECK(info.accessToken == kUnset && tokenJson == kUnset);
        return;
    }
    CheckDecoded(info.accessToken, reply.GetString("/data/accessToken", ""));
    CheckDecoded(tokenJson, reply.GetString("/data/TokenJson", ""));
}

void CheckJsonObject(const std::string& body) {
    proto::CRapidJsonProto first;
    const bool json = first.Parse(body);
    const std::string pointers[] = {
        "/code",  "/data", "/data/accessToken",      "/data/TokenJson", "", "/", "/0", "/data/0", "/a~1b/~0c", "/~2",
        "#/data", "/-",    "/" + body.substr(0, 16), body.substr(0, 16)};
    for (const std::string& pointer : pointers) {
        first.GetString(pointer, "");
        first.GetInt(pointer, 0);
    }
    // Serialising walks the tree recursively; bodies that could nest deeper than this are only parsed.
    if (std::count_if(body.begin(), body.end(), [](char c) { return c == '[' || c == '{'; }) > 1000) return;
    const std::string text = first.Serialize(0);
    if (!json) {
        FUZZ_CHECK(text == "{}");  // not JSON: an empty object, every read yields its default
        return;
    }
    // What was read can be written and read again to the same strings and integers. (Not the same text:
    // numbers with fractions are read with a fast, not always exact, conversion.)
    proto::CRapidJsonProto second;
    FUZZ_CHECK(second.Parse(text));
    for (const std::string& pointer : pointers) {
        FUZZ_CHECK(first.GetString(pointer, kUnset) == second.GetString(pointer, kUnset));
        FUZZ_CHECK(first.GetInt(pointer, -7) == second.GetInt(pointer, -7));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    CheckReplies(body);
    CheckBase64(body);
    CheckJsonObject(body);
    int32_t channel = 0;
    for (size_t i = 0; i < size && i < 4; ++i)
        channel = static_cast<int32_t>((static_cast<uint32_t>(channel) << 8) | data[i]);
    // The device token request: the serial arrives at the server exactly as the host wrote it.
    const std::string serial = body.substr(0, 256);
    proto::CRapidJsonProto request;
    request.SetString("/deviceSerial", serial);
    request.SetInt("/channelNo", channel);
    proto::CRapidJsonProto received;
    FUZZ_CHECK(received.Parse(request.Serialize(0)));
    FUZZ_CHECK(received.GetString("/deviceSerial", kUnset) == serial);
    FUZZ_CHECK(received.GetInt("/channelNo", -7) == channel);
    return 0;
}
