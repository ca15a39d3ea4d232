// The wrapper through which one request obtains, attaches to and releases its real stream, and the
// delivery object that turns packets into calls of the media server's data callback.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Metrics.h"
#include "RealStream.h"
#include "StreamParam.h"
#include "VantraIotSMSPluginApi.h"
#include "kestro/ThreadSafety.h"
#include "kestro/kestro.h"

namespace PexloCommon {

class CRealStreamWrapper {
public:
    CRealStreamWrapper() = default;
    CRealStreamWrapper(const CRealStreamWrapper&) = delete;
    CRealStreamWrapper& operator=(const CRealStreamWrapper&) = delete;

    void StartTakeStream(bool* result, CRealStreamObserver* observer, const StreamParam& param);
    // Detaches the observer at once, then releases the stream on a teardown thread and waits up to `bound` for
    // that (the stop bound when not given); what the cloud has not finished by then goes on behind the call.
    void StopTakeStream(CRealStreamObserver* observer);
    void StopTakeStream(CRealStreamObserver* observer, std::chrono::milliseconds bound);

    // The figures the next stream keeps for the metrics file (none when null).
    void SetStats(std::shared_ptr<CStreamStats> stats) EXCLUDES(m_mutex);

    // This request's own. Lock order: m_mutex, then the manager's lock or the stream's attach lock. Held across
    // the stream's SDK calls and its teardown, which hold up only this request.
    Kestro_Mutex m_mutex;
    CRealStream* m_pRealStream GUARDED_BY(m_mutex) = nullptr;  // one use of a stream the manager owns
    std::shared_ptr<CStreamStats> m_pStats GUARDED_BY(m_mutex);
};

class CReciveData2SMS : public CRealStreamObserver {
public:
    CReciveData2SMS() = default;
    ~CReciveData2SMS() override = default;
    CReciveData2SMS(const CReciveData2SMS&) = delete;
    CReciveData2SMS& operator=(const CReciveData2SMS&) = delete;

    void startReciveData(DeviceDataCallBack callback, void* user, int32_t channel, StreamParam param)
        EXCLUDES(m_mutexControl);
    void stopReciveData() EXCLUDES(m_mutexControl);
    // The same, waiting up to `bound` for the stream's release (zero: not at all).
    void StopWithin(std::chrono::milliseconds bound) EXCLUDES(m_mutexControl);
    // For a request registered before it is started: the caller takes the control lock while the request
    // becomes visible to stops, and starts it with the lock still held, so a racing stop waits for the start
    // instead of overtaking it and leaving the stream running unowned.
    void StartHeld(DeviceDataCallBack callback, void* user, int32_t channel, StreamParam param)
        REQUIRES(m_mutexControl);
    void OnStreamData(const unsigned char* data, uint32_t length, uint32_t type) override;
    static std::string GetCodecName(uint32_t value);

    // Codec value and header-form flag of a stream header; fields past the packet's end count as absent.
    static void ParseHeader(const unsigned char* data, uint32_t length, uint32_t* codec, uint32_t* flag);
    // True while this thread is inside a host callback of any request: a stop from there could wait for a
    // delivery that waits for this one, so it is carried out by another thread.
    static bool IsDeliveringOnThisThread();

    CRealStreamWrapper m_wrapper;
    // The request's figures for the metrics file, null when it is off. Set, under the plugin's registry lock,
    // before the request is started, and read by the deliveries that follow.
    std::shared_ptr<CStreamStats> m_pStats;
    // The user value is stored before the callback, so a delivery that sees the callback sees its value.
    std::atomic<DeviceDataCallBack> m_pfnDataCallBack{nullptr};
    std::atomic<void*> m_pUser{nullptr};
    int32_t m_iChannel GUARDED_BY(m_mutexControl) = -1;
    bool m_bStart GUARDED_BY(m_mutexControl) = false;
    std::string m_strSerial GUARDED_BY(m_mutexControl);

    // Serialises start and stop of this request when the host races them; delivery never takes it. Lock
    // order: m_mutexControl, then the plugin's request-registry lock or the wrapper's m_mutex.
    Zeph::Base::Mutex m_mutexControl ACQUIRED_BEFORE(m_wrapper.m_mutex);

private:
    void Deliver(DeviceDataCallBack callback, void* user, uint32_t type, const void* data, uint32_t length,
                 uint32_t flags);
};

}  // namespace PexloCommon
