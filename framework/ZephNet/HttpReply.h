// Reads one HTTP/1.x reply from the bytes a connection delivers, in whatever pieces they arrive, within fixed
// bounds: the status line, headers and trailers together, and the body. Nothing of the peer's is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Zeph {
namespace Net {

class ReplyParser {
public:
    enum class Status {
        kMore,      // needs more bytes
        kDone,      // the reply is complete; bytes after it are ignored
        kBad,       // not an HTTP/1.x reply, or it ended early
        kTooLarge,  // beyond one of the bounds below
    };

    // Status line, headers of interim (1xx) replies, headers and chunked trailers together.
    static constexpr size_t kMaxHeaderBytes = size_t{64} * 1024;
    // One chunk-size line with its extensions.
    static constexpr size_t kMaxChunkLineBytes = 1024;

    explicit ReplyParser(uint64_t maxBodyBytes);

    Status Feed(const char* data, size_t size);
    // The peer closed the connection: that completes a reply framed by the close, and cuts any other short.
    Status End();

    int StatusCode() const { return m_iStatus; }
    // A Content-Length header framed the body (a chunked reply's is ignored). Beyond 64 bits it reads as all
    // bits set.
    bool Announced() const { return m_bAnnounced; }
    uint64_t AnnouncedLength() const { return m_uAnnounced; }
    // The announced length was beyond the body bound: the reply ends with its headers, and no body is read.
    bool BodySkipped() const { return m_bBodySkipped; }
    std::string& Body() { return m_strBody; }

private:
    enum class State { kStatusLine, kHeaders, kLength, kChunkSize, kChunkData, kChunkEnd, kTrailers, kToClose, kDone };

    Status Fail(Status status);
    Status Line(const std::string& line);
    Status Header(const std::string& line);
    Status HeadersEnd();
    Status ChunkSize(const std::string& line);
    bool AppendBody(const char* data, size_t size);

    const uint64_t m_uMaxBody;
    State m_state = State::kStatusLine;
    Status m_failed = Status::kMore;
    std::string m_strLine;
    size_t m_headerBytes = 0;
    int m_iStatus = 0;
    bool m_bAnnounced = false;
    bool m_bCoded = false;
    bool m_bChunked = false;
    bool m_bBodySkipped = false;
    uint64_t m_uAnnounced = 0;
    uint64_t m_uLeft = 0;
    std::string m_strBody;
};

}  // namespace Net
}  // namespace Zeph
