#include "CallbackGate.h"

#include <new>
#include <vector>

#include "SdkWatch.h"

namespace PexloCommon {

namespace {
// A key is the gate's index in its low bits and the gate's lease count above them: a gate leased again hands
// out a key no earlier callback carries.
constexpr unsigned kIndexBits = 20;
constexpr uintptr_t kIndexMask = (uintptr_t{1} << kIndexBits) - 1;
constexpr size_t kChunkSize = 1024;
constexpr size_t kChunks = (size_t{1} << kIndexBits) / kChunkSize;
static_assert(sizeof(void*) == 8, "a key needs the width of a 64-bit pointer");
}  // namespace

// Up to 2^20 gates in chunks allocated as they are first needed and freed only when the library goes away with
// nothing left behind in the SDK. Lock order: m_mutex, then a gate's lock; neither is held across anything but
// the table's own bookkeeping.
class CCallbackGateTable {
public:
    ~CCallbackGateTable() {
        // A call left behind in the SDK may still come back into a gate.
        if (CSdkWatch::LeftBehind()) return;
        for (auto& chunk : m_chunks) delete[] chunk.exchange(nullptr);
    }

    CCallbackGate* Lease() {
        Zeph::Base::LockGuard lock(m_mutex);
        uint32_t index = 0;
        if (!m_vFree.empty()) {
            index = m_vFree.back();
            m_vFree.pop_back();
        } else if (m_iNext <= kIndexMask) {
            CCallbackGate* chunk = m_chunks[m_iNext / kChunkSize].load(std::memory_order_relaxed);
            if (chunk == nullptr) {
                chunk = new (std::nothrow) CCallbackGate[kChunkSize];
                if (chunk == nullptr) return &m_inert;
                m_chunks[m_iNext / kChunkSize].store(chunk, std::memory_order_release);
            }
            index = m_iNext++;
        } else {
            return &m_inert;
        }
        CCallbackGate* gate = At(index);
        const uintptr_t key = (static_cast<uintptr_t>(++gate->m_iGeneration) << kIndexBits) | index;
        {
            Kestro_Guard guard(&gate->m_mutex);
            gate->m_key = key;
            gate->m_bLive = true;
            gate->m_pSource = nullptr;
        }
        gate->m_bData.store(false, std::memory_order_relaxed);
        return gate;
    }

    void Release(CCallbackGate* gate) {
        if (gate == nullptr || gate == &m_inert) return;
        gate->Revoke();
        Zeph::Base::LockGuard lock(m_mutex);
        try {
            m_vFree.push_back(static_cast<uint32_t>(gate->m_key & kIndexMask));
        } catch (...) {
            // Out of memory: the gate stays out of use for good, which is safe.
        }
    }

    CCallbackGate* Find(uintptr_t key) const {
        const uintptr_t index = key & kIndexMask;
        CCallbackGate* chunk = m_chunks[index / kChunkSize].load(std::memory_order_acquire);
        return chunk != nullptr ? &chunk[index % kChunkSize] : nullptr;
    }

private:
    CCallbackGate* At(uint32_t index) const {
        return &m_chunks[index / kChunkSize].load(std::memory_order_relaxed)[index % kChunkSize];
    }

    Zeph::Base::Mutex m_mutex;
    std::atomic<CCallbackGate*> m_chunks[kChunks] = {};
    std::vector<uint32_t> m_vFree GUARDED_BY(m_mutex);
    // Index 0 is never leased, so neither a null user value nor key 0 ever names a live gate.
    uint32_t m_iNext GUARDED_BY(m_mutex) = 1;
    // For a stream that found the table full: its lock works, its key never admits anything.
    CCallbackGate m_inert;
};

namespace {
CCallbackGateTable g_table;
}

CCallbackGate* CCallbackGate::Lease() { return g_table.Lease(); }
void CCallbackGate::Release(CCallbackGate* gate) { g_table.Release(gate); }
CCallbackGate* CCallbackGate::Find(const void* user) { return g_table.Find(reinterpret_cast<uintptr_t>(user)); }

void CCallbackGate::Bind(CTackStreamFromNubrix* source) {
    Kestro_Guard guard(&m_mutex);
    if (m_bLive) m_pSource = source;
}

void CCallbackGate::Revoke() {
    Kestro_Guard guard(&m_mutex);
    m_bLive = false;
    m_pSource = nullptr;
    m_bData.store(false, std::memory_order_relaxed);
}

void CCallbackGate::CloseData() {
    m_bData.store(false, std::memory_order_relaxed);
    // Under the lock a delivery that was let in before the store has finished.
    Kestro_Guard guard(&m_mutex);
}

}  // namespace PexloCommon
