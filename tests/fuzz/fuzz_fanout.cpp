// A real stream's fan-out: packets with observers attached and detached in between, to the limit of 65 and past it.
// Each observer checks every call against what it is owed: the cached header first when it is new, then every packet
// in order by the stream's own pointer, retyped to 107 when the second byte says so, and nothing once detached.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RealStream.h"
#include "ZephBase/Log.h"

using PexloCommon::CRealStream;

namespace {

constexpr size_t kPool = 70;  // more than fit, so refusals happen
constexpr size_t kMaxAttached = 65;
constexpr uint32_t kHeaderSize = 40;  // the stream header every camera sends first

volatile unsigned g_sink = 0;

class Observer : public PexloCommon::CRealStreamObserver {
public:
    struct Call {
        uint32_t type;
        const unsigned char* data;  // the packet itself; null for the cached header, compared by content
        uint32_t length;
        std::string header;
    };
    std::vector<Call> owed;

    void OnStreamData(const unsigned char* data, uint32_t length, uint32_t type) override {
        FUZZ_CHECK(m_next < owed.size());  // nothing beyond what it is owed, nothing after detach
        const Call& e = owed[m_next++];
        FUZZ_CHECK(type == e.type && length == e.length && data != nullptr);
        FUZZ_CHECK(e.data != nullptr ? data == e.data : std::memcmp(data, e.header.data(), kHeaderSize) == 0);
        g_sink = g_sink + std::accumulate(data, data + length, 0u);
    }
    void CheckAllReceived() {
        FUZZ_CHECK(m_next == owed.size());
        owed.clear();
        m_next = 0;
    }

private:
    size_t m_next = 0;
};

CRealStream* g_stream = nullptr;
Observer g_observers[kPool];

struct Input {
    const uint8_t* at;
    const uint8_t* end;
    uint8_t Byte() { return at < end ? *at++ : 0; }
};

struct Model {
    std::vector<size_t> attached;  // in attach order, the order of the fan-out
    std::vector<size_t> owedHeader;
    std::string cache;  // the last whole header, empty when none
    size_t refused = 0;
};

void Attach(Model& model, size_t index) {
    if (std::find(model.attached.begin(), model.attached.end(), index) != model.attached.end()) return;
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
    for (std::vector<size_t>* list : {&model.attached, &model.owedHeader})
        list->erase(std::remove(list->begin(), list->end(), index), list->end());
    if (model.attached.empty()) model.cache.clear();  // the last detach forgets the header
}

void Packet(Model& model, Input& in, uint8_t op) {
    const uint8_t selector = in.Byte();
    const uint32_t type = selector < 0x80   ? selector % 8u
                          : selector < 0xC0 ? CRealStream::kTypePrivate
                                            : 0x80000000u | selector;
    const size_t low = in.Byte();
    const size_t length = std::min<size_t>(low | ((in.Byte() % 8u) << 8), in.end - in.at);
    // A buffer of exactly the packet's size, so reads past it are caught; new[0] still gives a pointer.
    std::unique_ptr<unsigned char[]> owned(new unsigned char[length]);
    std::copy(in.at, in.at + length, owned.get());
    in.at += length;
    // Now and then a null pointer with a length: dropped. An empty packet is passed on like any other.
    const unsigned char* data = (op & 0x40) != 0 && length == 0 ? nullptr : owned.get();
    const uint32_t claimed = data == nullptr ? 100u : static_cast<uint32_t>(length);
    if (data != nullptr) {
        const uint32_t effective =
            claimed >= 2 && (data[1] & 0x7F) == CRealStream::kTypePrivate ? CRealStream::kTypePrivate : type;
        if (!model.cache.empty() && model.cache[0] != 0) {
            for (size_t i : model.owedHeader) g_observers[i].owed.push_back({1, nullptr, kHeaderSize, model.cache});
        }
        for (size_t i : model.attached) g_observers[i].owed.push_back({effective, data, claimed, ""});
        model.owedHeader.clear();
        if (effective == CRealStream::kTypeHeader && claimed >= kHeaderSize) {
            model.cache.assign(reinterpret_cast<const char*>(data), kHeaderSize);
        }
    }
    g_stream->DeliverPacket(type, data, claimed);
    for (Observer& observer : g_observers) observer.CheckAllReceived();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The watchdog finds a stream silent when the clock runs the timeout past the last data time, which an
    // attach sets to minus the timeout. A clock held below zero never gets there, so the watchdog never
    // reconnects and clears the header cache behind the model's back.
    CRealStream::SetClock([]() -> int64_t { return -1000; });
    // One stream for the whole run (its watchdog thread would otherwise start per input), no SDK source.
    g_stream = new CRealStream(PexloCommon::StreamParam{0, 1, "FUZZ", "", 1});
    std::atexit([] {
        delete g_stream;
        CRealStream::SetClock(nullptr);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Zeph::Base::details::ScopedLogCapture capture;
    Input in{data, data + size};
    Model model;
    while (in.at < in.end) {
        const uint8_t op = in.Byte();
        if (op % 4 >= 2) {
            Packet(model, in, op);
        } else if (op % 4 == 0) {
            Attach(model, in.Byte() % kPool);
        } else if (!model.attached.empty()) {
            Detach(model, model.attached[in.Byte() % model.attached.size()]);
        }
    }
    while (!model.attached.empty()) Detach(model, model.attached.front());
    // A header that came while nobody was attached is still cached; one more attach and detach forgets it.
    Attach(model, 0);
    Detach(model, 0);
    FUZZ_CHECK(capture.CountContaining("[PexloCommon::CRealStream::StartTakeStream][Realplay]StartTakeStream failed, "
                                       "m_iRefCount > kMaxConnectSize[") == model.refused);

    // Back where the run started, so the next input meets a stream no earlier one has touched.
    FUZZ_CHECK(g_stream->m_vObserver.empty() && g_stream->m_vNewObserver.empty());
    FUZZ_CHECK(g_stream->m_iRefCount == 0);
    for (uint32_t i = 0; i < kHeaderSize; ++i) FUZZ_CHECK(g_stream->m_byHeader[i] == 0);
    return 0;
}
