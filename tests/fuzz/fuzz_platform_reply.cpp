// Reply bodies from the platform server: the access information and device token replies, the Base64 decoder
// they go through and the JSON message object underneath, on arbitrary bytes. The device token request the
// plugin sends is built from the same object with a serial from the host's URL, so that is fuzzed as well.
#include <cstddef>
#include <cstdint>
#include <string>

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
    std::string unpadded = encoded;
    while (!unpadded.empty() && unpadded.back() == '=') unpadded.pop_back();
    FUZZ_CHECK(Encrypt::Base64Decode(out, unpadded) && out == text);
}

void CheckAccessReply(const std::string& body, bool* accepted) {
    NubrixAccessInfo info;
    info.accessToken = info.nubrixAddr = info.appKey = info.nubrixType = info.authAddr = info.openAddr = kUnset;
    *accepted = CVantraLinkInterfaceMgr::ParseAccessInfoReply(body, info);
    proto::CRapidJsonProto reply;
    const bool json = reply.Parse(body);
    if (!*accepted) {
        // A refused reply leaves the caller's access information as it was.
        FUZZ_CHECK(info.accessToken == kUnset && info.nubrixAddr == kUnset && info.appKey == kUnset);
        FUZZ_CHECK(info.nubrixType == kUnset && info.authAddr == kUnset && info.openAddr == kUnset);
        FUZZ_CHECK(!json || reply.GetInt("/code", -1) != 0);
        return;
    }
    FUZZ_CHECK(json && reply.GetInt("/code", -1) == 0);
    FUZZ_CHECK(info.nubrixAddr == reply.GetString("/data/nubrixAddr", ""));
    FUZZ_CHECK(info.appKey == reply.GetString("/data/appKey", ""));
    FUZZ_CHECK(info.nubrixType == reply.GetString("/data/nubrixType", ""));
    FUZZ_CHECK(info.authAddr == reply.GetString("/data/authAddr", ""));
    FUZZ_CHECK(info.openAddr == reply.GetString("/data/openAddr", ""));
    // The token is the decoded text, or empty when the field was no Base64.
    const std::string token = reply.GetString("/data/accessToken", "");
    if (!info.accessToken.empty()) FUZZ_CHECK(Encrypt::Base64Encode(info.accessToken) == Padded(token));
}

void CheckTokenReply(const std::string& body, bool accessAccepted) {
    std::string tokenJson = kUnset;
    const bool accepted = CVantraLinkInterfaceMgr::ParseDeviceTokenReply(body, tokenJson);
    FUZZ_CHECK(accepted == accessAccepted);  // both hinge on the code alone
    if (!accepted) {
        FUZZ_CHECK(tokenJson == kUnset);
        return;
    }
    proto::CRapidJsonProto reply;
    reply.Parse(body);
    if (!tokenJson.empty())
        FUZZ_CHECK(Encrypt::Base64Encode(tokenJson) == Padded(reply.GetString("/data/TokenJson", "")));
}

// Serialising walks the tree recursively; bodies that could nest deeper than this are only parsed.
bool ShallowEnough(const std::string& body) {
    size_t opens = 0;
    for (char c : body) opens += (c == '[' || c == '{') ? 1 : 0;
    return opens <= 1000;
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
    if (!ShallowEnough(body)) return;
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

// The device token request: the serial arrives at the server exactly as the host wrote it.
void CheckTokenRequest(const std::string& serial, int32_t channel) {
    proto::CRapidJsonProto request;
    request.SetString("/deviceSerial", serial);
    request.SetInt("/channelNo", channel);
    proto::CRapidJsonProto received;
    FUZZ_CHECK(received.Parse(request.Serialize(0)));
    FUZZ_CHECK(received.GetString("/deviceSerial", kUnset) == serial);
    FUZZ_CHECK(received.GetInt("/channelNo", -7) == channel);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vantra_fuzz::QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    bool accepted = false;
    CheckAccessReply(body, &accepted);
    CheckTokenReply(body, accepted);
    CheckBase64(body);
    CheckJsonObject(body);
    int32_t channel = 0;
    for (size_t i = 0; i < size && i < 4; ++i)
        channel = static_cast<int32_t>((static_cast<uint32_t>(channel) << 8) | data[i]);
    CheckTokenRequest(body.substr(0, 256), channel);
    return 0;
}
