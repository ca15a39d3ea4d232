// A real stream's fan-out: a sequence of packets (type, length, bytes) with observers attached and detached in
// between, up to the limit of 65 and past it. Every observer checks each call against a model of what it is
// owed: the cached 40-byte header first when it is new and one is cached, then every packet in order, retyped
// to 107 when the second byte says so, by the stream's own pointer, and nothing once detached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RealStream.h"
#include "ZephBase/Log.h"

using PexloCommon::CRealStream;
using PexloCommon::CRealStreamObserver;

namespace {

constexpr size_t kPool = 70;  // more than fit, so refusals happen
constexpr size_t kMaxAttached = 65;
constexpr uint32_t kHeaderSize = 40;  // the stream header every camera sends first

struct Expected {
    uint32_t type;
    const unsigned char* data;  // the packet itself; null for the cached header, compared by content
    uint32_t length;
    std::string header;
};

volatile unsigned g_sink = 0;

class Observer : public CRealStreamObserver {
public:
    void OnStreamData(const unsigned char* data, uint32_t length, uint32_t type) override {
        FUZZ_CHECK(m_next < m_expected.size());  // nothing beyond what it is owed, nothing after detach
        const Expected& e = m_expected[m_next++];
        FUZZ_CHECK(type == e.type && length == e.length && data != nullptr);
        if (e.data != nullptr) {
            FUZZ_CHECK(data == e.data);
        } else {
            FUZZ_CHECK(std::memcmp(data, e.header.data(), kHeaderSize) == 0);
        }
        unsigned sum = 0;
        for (uint32_t i = 0; i < length; ++i) sum += data[i];
        g_sink = g_sink + sum;
    }
    void Expect(Expected e) { m_expected.push_back(std::move(e)); }
    void CheckAllReceived() const { FUZZ_CHECK(m_next == m_expected.size()); }
    void Reset() {
        m_expected.clear();
        m_next = 0;
    }

private:
    std::vector<Expected> m_expected;
    size_t m_next = 0;
};

// The watchdog finds a stream silent when the clock runs the timeout past the last data time, which an attach
// sets to minus the timeout. A clock held below zero never gets there, so the watchdog never reconnects and
// clears the header cache behind the model's back.
int64_t FrozenClock() { return -1000; }

CRealStream* g_stream = nullptr;
Observer* g_observers = nullptr;

void Teardown() {
    delete g_stream;
    g_stream = nullptr;
    delete[] g_observers;
    g_observers = nullptr;
    CRealStream::SetClock(nullptr);
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    size_t Remaining() const { return m_size - m_pos; }
    const uint8_t* Take(size_t n) {
        const uint8_t* at = m_data + m_pos;
        m_pos += n;
        return at;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

struct Model {
    std::vector<size_t> attached;  // in attach order, the order of the fan-out
    std::vector<size_t> owedHeader;
    std::string cache;  // the last whole header, empty when none
    size_t refused = 0;

    bool IsAttached(size_t index) const {
        for (size_t i : attached) {
            if (i == index) return true;
        }
        return false;
    }
};

void Erase(std::vector<size_t>& list, size_t index) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == index) {
            list.erase(it);
            return;
        }
    }
}

void Attach(Model& model, size_t index) {
    if (model.IsAttached(index)) return;
    bool result = false;
    const bool ok = g_stream->StartTakeStream(&result, &g_observers[index]);
    FUZZ_CHECK(ok == result);
    FUZZ_CHECK(ok == (model.attached.size() < kMaxAttached));
    if (!ok) {
        ++model.refused;
        return;
    }
    model.attached.push_back(index);
    model.owedHeader.push_back(index);
}

void Detach(Model& model, size_t index) {
    g_stream->StopTakeStream(&g_observers[index]);
    Erase(model.attached, index);
    Erase(model.owedHeader, index);
    if (model.attached.empty()) model.cache.clear();  // the last detach forgets the header
}

uint32_t PacketType(uint8_t selector) {
    if (selector < 0x80) return selector % 8;
    if (selector < 0xC0) return CRealStream::kTypePrivate;
    return 0x80000000u | selector;
}

void Packet(Model& model, Input& in, uint8_t op) {
    const uint32_t type = PacketType(in.Byte());
    const uint8_t low = in.Byte();
    const uint8_t high = in.Byte();
    size_t length = low | ((high % 8u) << 8);
    if (length > in.Remaining()) length = in.Remaining();
    std::unique_ptr<unsigned char[]> owned(new unsigned char[length]);
    if (length > 0) std::memcpy(owned.get(), in.Take(length), length);
    // Now and then a null pointer with a length: dropped. An empty packet is passed on like any other.
    const unsigned char* data = (op & 0x40) != 0 && length == 0 ? nullptr : owned.get();
    const uint32_t claimed = data == nullptr ? 100u : static_cast<uint32_t>(length);

    for (size_t i = 0; i < kPool; ++i) g_observers[i].Reset();
    const bool dropped = data == nullptr;
    if (!dropped) {
        const uint32_t effective =
            claimed >= 2 && (data[1] & 0x7F) == CRealStream::kTypePrivate ? CRealStream::kTypePrivate : type;
        if (!model.cache.empty() && model.cache[0] != 0) {
            for (size_t i : model.owedHeader) g_observers[i].Expect(Expected{1, nullptr, kHeaderSize, model.cache});
        }
        for (size_t i : model.attached) g_observers[i].Expect(Expected{effective, data, claimed, std::string()});
        model.owedHeader.clear();
        if (effective == CRealStream::kTypeHeader && claimed >= kHeaderSize) {
            model.cache.assign(reinterpret_cast<const char*>(data), kHeaderSize);
        }
    }
    g_stream->OnSourceData(type, data, claimed);
    for (size_t i = 0; i < kPool; ++i) g_observers[i].CheckAllReceived();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vantra_fuzz::QuietLog();
    CRealStream::SetClock(&FrozenClock);
    // One stream for the whole run (its watchdog thread would otherwise start per input), no SDK source.
    PexloCommon::StreamParam param;
    param.iSourceType = 0;
    param.iChannel = 1;
    param.strSerial = "FUZZ";
    g_stream = new CRealStream(param);
    g_observers = new Observer[kPool];
    std::atexit(&Teardown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Zeph::Base::details::ScopedLogCapture capture;
    Input in(data, size);
    Model model;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % 4) {
            case 0:
                Attach(model, in.Byte() % kPool);
                break;
            case 1:
                if (!model.attached.empty()) Detach(model, model.attached[in.Byte() % model.attached.size()]);
                break;
            default:
                Packet(model, in, op);
                break;
        }
    }
    const std::vector<size_t> remaining = model.attached;
    for (size_t index : remaining) Detach(model, index);
    // A header that came while nobody was attached is still cached; one more attach and detach forgets it.
    Attach(model, 0);
    Detach(model, 0);
    FUZZ_CHECK(capture.CountContaining("m_iRefCount > kMaxConnectSize") == model.refused);

    // Back where the run started, so the next input meets a stream no earlier one has touched.
    FUZZ_CHECK(g_stream->m_vObserver.empty() && g_stream->m_vNewObserver.empty());
    FUZZ_CHECK(g_stream->m_iRefCount == 0);
    for (uint32_t i = 0; i < kHeaderSize; ++i) FUZZ_CHECK(g_stream->m_byHeader[i] == 0);
    for (size_t i = 0; i < kPool; ++i) g_observers[i].Reset();
    return 0;
}
