// The plugin's only door to the cloud SDK library: loading, the entry-point table, and wrapped calls.
#pragma once

#include <atomic>
#include <chrono>
#include <set>
#include <string>

#include "PexloEntryTable.h"
#include "PexloSdk.h"
#include "SdkWatch.h"
#include "kestro/kestro.h"
#include "platform/Platform.h"

namespace PexloCommon {

class CPexloInterfaceMgr : public CPexloEntryTable {
public:
    static CPexloInterfaceMgr* GetInstance();
    ~CPexloInterfaceMgr();

    bool LoadDso(const std::string& dir);
    bool InitLib(const std::string& authAddr, const std::string& openAddr, const std::string& appKey);
    bool InitClientLib(const std::string& authAddr, const std::string& openAddr, const std::string& appKey);
    bool FiniLib();
    bool SetConfigInfo(int key, int value);
    void SetPlatformAddr(const std::string& addr);
    bool SetAccessToken(const std::string& token);
    bool SetNonDeviceTkToken(const std::string& token);
    bool SetDeviceTkTokens(const std::string& tokenJson);
    // `user` is what the session's message callback is handed back: a callback gate's key.
    bool AllocSession(void* user, std::string& sessionId);
    bool DataFree(void* p);
    bool FreeSession(const std::string& sessionId);
    bool StopRealPlay(const std::string& sessionId);
    bool StartPlayWithStreamType(const std::string& sessionId, const std::string& deviceSerial, int channelNo,
                                 const std::string& key, int streamType);
    // The SDK's own code of its last failed call, or 600002 when the SDK cannot tell.
    int GetLastErrorCode();
    // The same for a host's call: 600002 also when the SDK does not answer within `bound`.
    int GetLastErrorCodeWithin(std::chrono::milliseconds bound);

    // Last-error records: module 62 with the SDK's code, or with 600002 for a missing entry point.
    void RecordMissingEntry();
    void RecordFailedCall();
    // The same record for this thread alone, so that a stream reads its own failure and never another camera's:
    // the shared record is the last writer's. Forget, make the calls, then ask.
    static void ForgetThreadFailure();
    static bool ThreadFailure(int* code);

    // Finishes the SDK and unloads it unless sessions still run on it, or a call or teardown is still under way
    // in it; safe to call more than once.
    void ReleaseLibrary();

    // The calls under way in the SDK and the stream teardowns, with their bounds.
    CSdkWatch& Watch() { return m_watch; }

    size_t SessionCount() const;

    // The one way into the SDK. Reads the entry once; a missing one records 600002 when `missing` says so
    // (InitLib, FiniLib and the error query have rules of their own). Otherwise calls it and hands back its
    // result. False when the entry is missing.
    enum class Missing { kRecord, kQuiet };
    template <class Fn, class... Args>
    bool Invoke(const std::atomic<Fn>& entry, Missing missing, int* result, Args... args) {
        Fn fn = entry.load();
        if (fn == nullptr) {
            if (missing == Missing::kRecord) RecordMissingEntry();
            return false;
        }
        CSdkWatch::Call call(m_watch, EntryName(&entry), IsSessionEntry(&entry) ? FirstText(args...) : nullptr);
        const int value = fn(args...);
        if (result != nullptr) *result = value;
        return true;
    }
    // The common rule on top of it: a negative result records the SDK's own code of the failure.
    enum class CallResult { kOk, kMissing, kFailed };
    template <class Fn, class... Args>
    CallResult Call(const std::atomic<Fn>& entry, Args... args) {
        int value = 0;
        if (!Invoke(entry, Missing::kRecord, &value, args...)) return CallResult::kMissing;
        if (value < 0) {
            RecordFailedCall();
            return CallResult::kFailed;
        }
        return CallResult::kOk;
    }

    static constexpr int kErrorModule = 62;
    static constexpr int kErrorMissingEntry = 600002;
    static constexpr int kErrorNullPointer = 10005;

    std::atomic<bool> m_bInit{false};
    Zeph::Platform::ModuleHandle m_hModule = nullptr;
    // Whether m_hModule is set, for readers on other threads (the metrics).
    bool IsLoaded() const { return m_bLoaded.load(); }

    std::string m_strAuthAddr;
    std::string m_strPlatformAddr;
    std::string m_strAppKey;

private:
    template <class T>
    friend class CSingletonHolder;
    CPexloInterfaceMgr() = default;

    // The entries whose first argument is a session id, which the watch lists with the call.
    bool IsSessionEntry(const void* entry) const {
        return entry == &pPexlo_FreeSession || entry == &pPexlo_StopRealPlayEx || entry == &pPexlo_SetDataCallBack ||
               entry == &pPexlo_SetSessionConfig || entry == &pPexlo_StartPlayWithStreamType;
    }
    template <class First, class... Rest>
    static const char* FirstText(First first, Rest...) {
        if constexpr (std::is_same<First, const char*>::value) {
            return first;
        } else {
            return nullptr;
        }
    }
    static const char* FirstText() { return nullptr; }

    CSdkWatch m_watch;
    std::atomic<bool> m_bLoaded{false};

    std::set<std::string> m_mapSession GUARDED_BY(m_mutexSession);  // ids allocated and not yet freed
    // Guards m_mapSession only; never held across an SDK call. Lock order: a leaf, taken alone (a stream's
    // source lock may be held around it, never the other way).
    mutable Kestro_Mutex m_mutexSession;
};

}  // namespace PexloCommon
