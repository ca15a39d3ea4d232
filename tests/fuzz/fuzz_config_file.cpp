// The configuration file's text as InitConfig parses it: arbitrary bytes, nested entities included. -rss_limit_mb and
// -timeout (scripts/fuzz) report any input that the value budget fails to keep cheap.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "HttpClient/VantraLinkInterfaceMgr.h"

using PexloCommon::ConfigValues;
using PexloCommon::CVantraLinkInterfaceMgr;

namespace {

// Entities are not expanded into the tree, so the element names stand in the text as written, unless an
// encoding declaration other than UTF-8 makes the bytes mean other characters.
bool PlainEncoding(const std::string& text) {
    static const std::string kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    const size_t first = text.find("encoding");
    if (first == std::string::npos) return true;
    return text.compare(0, kUtf8Declaration.size(), kUtf8Declaration) == 0 &&
           text.find("encoding", first + 1) == std::string::npos;
}

void CheckValues(const std::string& text, const ConfigValues& values) {
    FUZZ_CHECK(values.haveAddr || values.addr.empty());
    FUZZ_CHECK(values.havePort || values.port.empty());
    FUZZ_CHECK(values.addr.size() <= CVantraLinkInterfaceMgr::kMaxValueBytes);
    FUZZ_CHECK(values.port.size() <= CVantraLinkInterfaceMgr::kMaxValueBytes);
    if (PlainEncoding(text)) {
        if (values.haveAddr || values.havePort) FUZZ_CHECK(text.find("Config") != std::string::npos);
        if (values.haveAddr) FUZZ_CHECK(text.find("VantraIotServer") != std::string::npos);
        if (values.havePort) FUZZ_CHECK(text.find("VantraIotServerPort") != std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ConfigValues values = CVantraLinkInterfaceMgr::ParseConfigText(text);
    CheckValues(text, values);
    if (text.empty() || text[0] == '\0') FUZZ_CHECK(!values.haveAddr && !values.havePort);

    // Same text, same answer: nothing leaks from one reading into the next.
    const ConfigValues again = CVantraLinkInterfaceMgr::ParseConfigText(text);
    FUZZ_CHECK(again.haveAddr == values.haveAddr && again.havePort == values.havePort);
    FUZZ_CHECK(again.addr == values.addr && again.port == values.port);

    // The text ends at its first NUL: whatever follows one is never read.
    const ConfigValues cut = CVantraLinkInterfaceMgr::ParseConfigText(text + std::string(1, '\0') + "<Config>x");
    FUZZ_CHECK(cut.haveAddr == values.haveAddr && cut.havePort == values.havePort);
    FUZZ_CHECK(cut.addr == values.addr && cut.port == values.port);
    return 0;
}
