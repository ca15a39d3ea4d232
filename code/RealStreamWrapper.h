// The wrapper through which one request obtains, attaches to and releases its real stream, and the
// delivery object that turns packets into calls of the media server's data callback.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Metrics.h"
#include "RealStream.h"
#include "SdkWatch.h"
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

    void StartTakeStream(bool* result, CRealStreamObserver* observer, const StreamParam& param) EXCLUDES(m_mutex);
    // The same for a start that may race a stop: `ticket` is StartTicket() as it was before the stop could begin.
    // The stream is made (and its session allocated) without the lock; a stop that came meanwhile cancels the
    // attach, and the new stream is given back at once.
    void StartTakeStream(bool* result, CRealStreamObserver* observer, const StreamParam& param, uint64_t ticket)
        EXCLUDES(m_mutex);
    uint64_t StartTicket() EXCLUDES(m_mutex);
    // Detaches the observer at once, then releases the stream on a teardown thread and waits up to `bound` for
    // that (the stop bound when not given); what the cloud has not finished by then goes on behind the call.
    void StopTakeStream(CRealStreamObserver* observer) EXCLUDES(m_mutex);
    void StopTakeStream(CRealStreamObserver* observer, std::chrono::milliseconds bound) EXCLUDES(m_mutex);
    // The first half of a stop: cancels a start still making its stream, detaches the observer and hands the
    // stream's release to a teardown job, which it returns (null when there was no stream).
    std::shared_ptr<CSdkWatch::Job> CutOff(CRealStreamObserver* observer) EXCLUDES(m_mutex);
    // The same, handing the release back to run on the caller's thread (empty when there was no stream).
    std::function<void()> TakeRelease(CRealStreamObserver* observer, std::string* session = nullptr) EXCLUDES(m_mutex);
    // Waits until `deadline` for a release that CutOff started; a level-5 record says so when it goes on behind.
    static void AwaitRelease(const std::shared_ptr<CSdkWatch::Job>& teardown,
                             std::chrono::steady_clock::time_point deadline);

    // The figures the next stream keeps for the metrics file (none when null).
    void SetStats(std::shared_ptr<CStreamStats> stats) EXCLUDES(m_mutex);

    // This request's own. Lock order: m_mutex, then the manager's lock or the stream's attach lock. Held across
    // the stream's SDK calls and its teardown, which hold up only this request.
    Kestro_Mutex m_mutex;
    CRealStream* m_pRealStream GUARDED_BY(m_mutex) = nullptr;  // one use of a stream the manager owns
    std::shared_ptr<CStreamStats> m_pStats GUARDED_BY(m_mutex);
    uint64_t m_iStops GUARDED_BY(m_mutex) = 0;  // stops so far: a start that saw fewer was overtaken by one
};

class CReciveData2SMS : public CRealStreamObserver {
public:
    CReciveData2SMS() = default;
    ~CReciveData2SMS() override = default;
    CReciveData2SMS(const CReciveData2SMS&) = delete;
    CReciveData2SMS& operator=(const CReciveData2SMS&) = delete;

    // Does nothing once the request was stopped: a start that the cloud held up past its stop never attaches.
    void startReciveData(DeviceDataCallBack callback, void* user, int32_t channel, const StreamParam& param)
        EXCLUDES(m_mutexControl);
    void stopReciveData() EXCLUDES(m_mutexControl);
    // The same, waiting up to `bound` for the stream's release and for a start still in the SDK (zero: not at
    // all). The host is cut off before it returns either way.
    void StopWithin(std::chrono::milliseconds bound) EXCLUDES(m_mutexControl);
    // A stop asked for from inside a data callback: from here on no delivery reaches the host. The rest of the stop
    // follows with StopHere, outside any callback.
    void CutOffHost();
    // The stop with the stream's release on this thread, as a worker of the SDK's watch carries it out.
    void StopHere() EXCLUDES(m_mutexControl);
    // The job that runs this request's start, for a stop to wait for within its bound.
    void SetStartJob(std::shared_ptr<CSdkWatch::Job> job) EXCLUDES(m_mutexControl);
    bool Stopped() EXCLUDES(m_mutexControl);
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
    bool m_bStopped GUARDED_BY(m_mutexControl) = false;
    std::shared_ptr<CSdkWatch::Job> m_pStartJob GUARDED_BY(m_mutexControl);

    // Orders start and stop of this request when the host races them; never held across an SDK call or a wait for
    // the start, and delivery never takes it. Lock order: m_mutexControl, then the wrapper's m_mutex.
    Zeph::Base::Mutex m_mutexControl ACQUIRED_BEFORE(m_wrapper.m_mutex);

private:
    // What a stop leaves to do once the request is marked stopped and cut off, under the control lock.
    struct Ending {
        std::function<void()> release;  // the stream's release, empty without a stream
        std::string session;
        std::string serial;
        std::shared_ptr<CSdkWatch::Job> start;
    };
    Ending End() EXCLUDES(m_mutexControl);
    void Deliver(DeviceDataCallBack callback, void* user, uint32_t type, const void* data, uint32_t length,
                 uint32_t flags);
};

}  // namespace PexloCommon
