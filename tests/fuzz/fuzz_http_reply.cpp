// Replies off the socket: the first byte picks the size of the pieces and whether the peer then closes, the rest is
// the reply. Framing must not depend on the pieces, and no bound may be passed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "ZephNet/HttpReply.h"

using Zeph::Net::ReplyParser;

namespace {

constexpr uint64_t kMaxBody = 64;

struct Outcome {
    ReplyParser::Status status;
    int code = 0;
    bool announced = false;
    uint64_t length = 0;
    bool skipped = false;
    std::string body;
};

Outcome Run(const uint8_t* data, size_t size, size_t piece, bool close) {
    ReplyParser parser(kMaxBody);
    ReplyParser::Status status = ReplyParser::Status::kMore;
    for (size_t at = 0; at < size && status == ReplyParser::Status::kMore; at += piece) {
        status = parser.Feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at));
    }
    if (close) status = parser.End();
    return Outcome{
        status, parser.StatusCode(), parser.Announced(), parser.AnnouncedLength(), parser.BodySkipped(), parser.Body()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = (data[0] & 0x7F) + 1;
    const bool close = (data[0] & 0x80) != 0;
    const Outcome whole = Run(data + 1, size - 1, size, close);
    const Outcome pieces = Run(data + 1, size - 1, piece, close);
    FUZZ_CHECK(whole.status == pieces.status);
    FUZZ_CHECK(whole.body.size() <= kMaxBody);
    if (whole.status != ReplyParser::Status::kDone) {
        FUZZ_CHECK(whole.body.empty() || whole.status == ReplyParser::Status::kMore);
        return 0;
    }
    FUZZ_CHECK(whole.code == pieces.code && whole.body == pieces.body && whole.skipped == pieces.skipped);
    FUZZ_CHECK(whole.announced == pieces.announced && whole.length == pieces.length);
    FUZZ_CHECK(whole.code >= 200 && whole.code <= 599);
    if (whole.skipped) FUZZ_CHECK(whole.announced && whole.length > kMaxBody && whole.body.empty());
    const bool bodiless = whole.code == 204 || whole.code == 304;
    if (whole.announced && !whole.skipped && !bodiless) FUZZ_CHECK(whole.body.size() == whole.length);
    if (bodiless) FUZZ_CHECK(whole.body.empty());
    return 0;
}
