#include "ZephNet/HttpReply.h"

#include <algorithm>
#include <cstring>

namespace Zeph {
namespace Net {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// RFC 9110 token characters, the only ones a field name may have.
bool IsTokenChar(unsigned char c) {
    if (c >= 'a' && c <= 'z') return true;
    if (c >= 'A' && c <= 'Z') return true;
    if (IsDigit(static_cast<char>(c))) return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool EqualsIgnoreCase(const std::string& a, const char* b) {
    const size_t size = std::strlen(b);
    if (a.size() != size) return false;
    for (size_t i = 0; i < size; ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) return false;
    }
    return true;
}

std::string Trimmed(const std::string& text, size_t from, size_t to) {
    while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) --to;
    return text.substr(from, to - from);
}

// Decimal digits only; more than 64 bits hold reads as all bits set.
bool ParseLength(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t result = 0;
    bool saturated = false;
    for (char c : text) {
        if (!IsDigit(c)) return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) saturated = true;
        if (!saturated) result = result * 10 + digit;
    }
    *value = saturated ? UINT64_MAX : result;
    return true;
}

}  // namespace

ReplyParser::ReplyParser(uint64_t maxBodyBytes) : m_uMaxBody(maxBodyBytes) {}

ReplyParser::Status ReplyParser::Fail(Status status) {
    m_failed = status;
    m_strLine.clear();
    m_strBody.clear();
    return status;
}

ReplyParser::Status ReplyParser::Feed(const char* data, size_t size) {
    if (m_failed != Status::kMore) return m_failed;
    size_t at = 0;
    while (at < size && m_state != State::kDone) {
        const size_t available = size - at;
        switch (m_state) {
            case State::kLength:
            case State::kChunkData: {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(m_uLeft, available));
                if (!AppendBody(data + at, take)) return Fail(Status::kTooLarge);
                at += take;
                m_uLeft -= take;
                if (m_uLeft == 0) m_state = m_state == State::kLength ? State::kDone : State::kChunkEnd;
                break;
            }
            case State::kToClose:
                if (!AppendBody(data + at, available)) return Fail(Status::kTooLarge);
                at = size;
                break;
            default: {
                const bool head =
                    m_state == State::kStatusLine || m_state == State::kHeaders || m_state == State::kTrailers;
                const char* start = data + at;
                const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
                const size_t take = newline != nullptr ? static_cast<size_t>(newline - start) + 1 : available;
                // Each line is held only up to what its bound still allows, so an endless one costs nothing.
                const size_t allowed = head                           ? kMaxHeaderBytes - m_headerBytes
                                       : m_state == State::kChunkSize ? kMaxChunkLineBytes - m_strLine.size()
                                                                      : 2 - m_strLine.size();
                if (take > allowed) return Fail(m_state == State::kChunkEnd ? Status::kBad : Status::kTooLarge);
                m_strLine.append(start, take);
                at += take;
                if (head) m_headerBytes += take;
                if (newline == nullptr) break;
                m_strLine.pop_back();
                if (!m_strLine.empty() && m_strLine.back() == '\r') m_strLine.pop_back();
                const Status status = Line(m_strLine);
                m_strLine.clear();
                if (status != Status::kMore) return Fail(status);
                break;
            }
        }
    }
    return m_state == State::kDone ? Status::kDone : Status::kMore;
}

ReplyParser::Status ReplyParser::End() {
    if (m_failed != Status::kMore) return m_failed;
    if (m_state == State::kToClose) m_state = State::kDone;
    return m_state == State::kDone ? Status::kDone : Fail(Status::kBad);
}

ReplyParser::Status ReplyParser::Line(const std::string& line) {
    switch (m_state) {
        case State::kStatusLine: {
            if (line.empty()) return Status::kMore;  // stray blank lines before a reply are skipped
            // "HTTP/1.x NNN", then nothing or a space and the reason.
            if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !IsDigit(line[7]) || line[8] != ' ' ||
                !IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]) ||
                (line.size() > 12 && line[12] != ' ')) {
                return Status::kBad;
            }
            m_iStatus = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
            if (m_iStatus < 100 || m_iStatus > 599) return Status::kBad;
            m_state = State::kHeaders;
            return Status::kMore;
        }
        case State::kHeaders:
            return line.empty() ? HeadersEnd() : Header(line);
        case State::kChunkSize:
            return ChunkSize(line);
        case State::kChunkEnd:
            if (!line.empty()) return Status::kBad;
            m_state = State::kChunkSize;
            return Status::kMore;
        case State::kTrailers:
            if (line.empty()) m_state = State::kDone;
            return Status::kMore;
        default:
            return Status::kBad;
    }
}

ReplyParser::Status ReplyParser::Header(const std::string& line) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return Status::kBad;
    for (size_t i = 0; i < colon; ++i) {
        if (!IsTokenChar(static_cast<unsigned char>(line[i]))) return Status::kBad;
    }
    const std::string name = line.substr(0, colon);
    const std::string value = Trimmed(line, colon + 1, line.size());
    if (EqualsIgnoreCase(name, "content-length")) {
        uint64_t length = 0;
        if (!ParseLength(value, &length)) return Status::kBad;
        // Two different lengths leave the framing undecidable.
        if (m_bAnnounced && length != m_uAnnounced) return Status::kBad;
        m_bAnnounced = true;
        m_uAnnounced = length;
    } else if (EqualsIgnoreCase(name, "transfer-encoding")) {
        const size_t comma = value.rfind(',');
        const std::string last = Trimmed(value, comma == std::string::npos ? 0 : comma + 1, value.size());
        // Only a final chunked coding frames the body; under any other it runs to the close.
        m_bCoded = true;
        m_bChunked = EqualsIgnoreCase(last, "chunked");
    }
    return Status::kMore;
}

ReplyParser::Status ReplyParser::HeadersEnd() {
    if (m_iStatus < 200) {
        if (m_iStatus == 101) return Status::kBad;  // no protocol switch was asked for
        // An interim reply; the real one follows, under the same header bound.
        m_bAnnounced = m_bChunked = m_bCoded = false;
        m_uAnnounced = 0;
        m_state = State::kStatusLine;
        return Status::kMore;
    }
    if (m_iStatus == 204 || m_iStatus == 304) {
        m_state = State::kDone;
        return Status::kMore;
    }
    if (m_bCoded) {
        // A transfer coding frames the body, whatever a Content-Length says.
        m_bAnnounced = false;
        m_uAnnounced = 0;
        m_state = m_bChunked ? State::kChunkSize : State::kToClose;
        return Status::kMore;
    }
    if (!m_bAnnounced) {
        m_state = State::kToClose;
    } else if (m_uAnnounced > m_uMaxBody) {
        m_bBodySkipped = true;
        m_state = State::kDone;
    } else {
        m_uLeft = m_uAnnounced;
        m_state = m_uLeft == 0 ? State::kDone : State::kLength;
    }
    return Status::kMore;
}

ReplyParser::Status ReplyParser::ChunkSize(const std::string& line) {
    uint64_t size = 0;
    size_t i = 0;
    for (; i < line.size() && HexValue(line[i]) >= 0; ++i) {
        if (size > (UINT64_MAX >> 4)) return Status::kTooLarge;
        size = (size << 4) | static_cast<uint64_t>(HexValue(line[i]));
    }
    if (i == 0) return Status::kBad;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] != ';') return Status::kBad;
    if (size == 0) {
        m_state = State::kTrailers;
        return Status::kMore;
    }
    if (size > m_uMaxBody - m_strBody.size()) return Status::kTooLarge;
    m_uLeft = size;
    m_state = State::kChunkData;
    return Status::kMore;
}

bool ReplyParser::AppendBody(const char* data, size_t size) {
    if (size > m_uMaxBody - m_strBody.size()) return false;
    m_strBody.append(data, size);
    return true;
}

}  // namespace Net
}  // namespace Zeph
