// The stream request URL on arbitrary bytes: splitting, pairs, the two keys the plugin reads, the video level.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "VantraIotSMSPlugin.h"

using PexloCommon::CVantraIotSMSPlugin;

namespace {

const char kSentinel[] = "\x01unset";

void CheckSplit(const std::string& text, const std::string& delimiter) {
    std::vector<std::string> out{kSentinel};  // pieces are appended to what the caller holds
    CVantraIotSMSPlugin::SplitString(text, delimiter, out);
    // No text, no piece; no delimiter, the text whole; otherwise the pieces as cutting a working copy with the
    // delimiter appended gives them.
    std::vector<std::string> expected{kSentinel};
    if (delimiter.empty()) {
        if (!text.empty()) expected.push_back(text);
    } else if (!text.empty()) {
        for (std::string work = text + delimiter; work.find(delimiter) != std::string::npos;) {
            const size_t at = work.find(delimiter);
            expected.push_back(work.substr(0, at));
            work.erase(0, at + delimiter.size());
        }
    }
    FUZZ_CHECK(out == expected);
}

// The pairs as the URL rules state them: '?' and '&' both separate, a piece with exactly one '=' is a pair,
// the first value of a key wins.
std::map<std::string, std::string> ExpectedPairs(const std::string& url) {
    std::map<std::string, std::string> pairs;
    size_t start = 0;
    while (start <= url.size()) {
        size_t end = url.find_first_of("?&", start);
        if (end == std::string::npos) end = url.size();
        const std::string piece = url.substr(start, end - start);
        const size_t eq = piece.find('=');
        if (eq != std::string::npos && piece.find('=', eq + 1) == std::string::npos) {
            pairs.emplace(piece.substr(0, eq), piece.substr(eq + 1));
        }
        start = end + 1;
    }
    return pairs;
}

int32_t ExpectedLeadingInteger(const std::string& text) {
    return static_cast<int32_t>(std::clamp<long long>(std::strtoll(text.c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
}

void CheckGetParam(const std::string& url, const std::map<std::string, std::string>& params, const std::string& key) {
    std::string value = kSentinel;
    CVantraIotSMSPlugin::GetParam(url, key, value);
    auto it = params.find(key);
    FUZZ_CHECK(it != params.end() ? value == it->second : value == kSentinel);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);

    for (const char* delimiter : {"?", "&", "=", "", "&&", "aa", "?&?"}) CheckSplit(url, delimiter);
    // A delimiter taken from the input itself, so partial and overlapping matches come up often.
    if (size >= 3) CheckSplit(url.substr(size / 2), url.substr(0, 1 + data[0] % 3));

    std::map<std::string, std::string> params;
    CVantraIotSMSPlugin::ParseUrl(url, params);
    FUZZ_CHECK(params == ExpectedPairs(url));

    CheckGetParam(url, params, "videolevel");
    CheckGetParam(url, params, "deviceseq");
    if (!params.empty()) CheckGetParam(url, params, params.rbegin()->first);

    auto level = params.find("videolevel");
    if (level != params.end()) {
        FUZZ_CHECK(CVantraIotSMSPlugin::LeadingInteger(level->second) == ExpectedLeadingInteger(level->second));
    }
    FUZZ_CHECK(CVantraIotSMSPlugin::LeadingInteger(url) == ExpectedLeadingInteger(url));
    return 0;
}
