// The plugin's only door to the cloud SDK library: loading, the entry-point table, and wrapped calls.
#pragma once

#include <atomic>
#include <set>
#include <string>

#include "PexloSdk.h"
#include "kestro/kestro.h"
#include "platform/Platform.h"

namespace PexloCommon {

// Entry points resolved but never called by the plugin; kept as untyped addresses.
typedef void (*PFN_PexloUnused)(void);

// Every SDK entry point, in table order; everything about the table is generated from this list.
#define PEXLO_ENTRY_POINTS(X)                                   \
    X(Pexlo_InitLib, PFN_Pexlo_InitLib)                         \
    X(Pexlo_FiniLib, PFN_Pexlo_FiniLib)                         \
    X(Pexlo_InitClientLib, PFN_Pexlo_InitClientLib)             \
    X(Pexlo_SetConfigInfo, PFN_Pexlo_SetConfigInfo)             \
    X(Pexlo_SetPlatformAddr, PFN_Pexlo_SetPlatformAddr)         \
    X(Pexlo_SetLoginParams, PFN_PexloUnused)                    \
    X(Pexlo_GetLoginResponseParams, PFN_PexloUnused)            \
    X(Pexlo_SetAccessToken, PFN_Pexlo_SetAccessToken)           \
    X(Pexlo_SetNonDeviceTkToken, PFN_Pexlo_SetNonDeviceTkToken) \
    X(Pexlo_SetDeviceTkTokens, PFN_Pexlo_SetDeviceTkTokens)     \
    X(Pexlo_AllocSessionEx, PFN_Pexlo_AllocSessionEx)           \
    X(Pexlo_FreeSession, PFN_Pexlo_FreeSession)                 \
    X(Pexlo_SetSessionConfig, PFN_Pexlo_SetSessionConfig)       \
    X(Pexlo_SetVideoLevel, PFN_PexloUnused)                     \
    X(Pexlo_StartRealPlayEx, PFN_PexloUnused)                   \
    X(Pexlo_StopRealPlayEx, PFN_Pexlo_StopRealPlayEx)           \
    X(Pexlo_StartPlayBackEx, PFN_PexloUnused)                   \
    X(Pexlo_PlayBackResume, PFN_PexloUnused)                    \
    X(Pexlo_PlayBackPause, PFN_PexloUnused)                     \
    X(Pexlo_StopPlayBackEx, PFN_PexloUnused)                    \
    X(Pexlo_SetDataCallBack, PFN_Pexlo_SetDataCallBack)         \
    X(Pexlo_StartSearchEx, PFN_PexloUnused)                     \
    X(Pexlo_GetOSDTime, PFN_PexloUnused)                        \
    X(Pexlo_StartP2PDownload, PFN_PexloUnused)                  \
    X(Pexlo_StopP2PDownload, PFN_PexloUnused)                   \
    X(Pexlo_SetPlayBackScale, PFN_PexloUnused)                  \
    X(Pexlo_OpenSound, PFN_PexloUnused)                         \
    X(Pexlo_CloseSound, PFN_PexloUnused)                        \
    X(Pexlo_GetVolume, PFN_PexloUnused)                         \
    X(Pexlo_SetVolume, PFN_PexloUnused)                         \
    X(Pexlo_StartVoiceTalkEx, PFN_PexloUnused)                  \
    X(Pexlo_StopVoiceTalk, PFN_PexloUnused)                     \
    X(Pexlo_CapturePicture, PFN_PexloUnused)                    \
    X(Pexlo_Mid_Login, PFN_PexloUnused)                         \
    X(Pexlo_Mid_Device_Add, PFN_PexloUnused)                    \
    X(Pexlo_Mid_Device_Oper, PFN_PexloUnused)                   \
    X(Pexlo_Logout, PFN_PexloUnused)                            \
    X(Pexlo_Data_GetDevList, PFN_PexloUnused)                   \
    X(Pexlo_Data_GetDevListEx, PFN_PexloUnused)                 \
    X(Pexlo_Data_GetSharedDevList, PFN_PexloUnused)             \
    X(Pexlo_Data_GetDeviceInfo, PFN_PexloUnused)                \
    X(Pexlo_Data_GetP2PDeviceInfo, PFN_PexloUnused)             \
    X(Pexlo_Data_GetAlarmList, PFN_PexloUnused)                 \
    X(Pexlo_Data_SetAlarmRead, PFN_PexloUnused)                 \
    X(Pexlo_Data_DeleteDevice, PFN_PexloUnused)                 \
    X(Pexlo_Data_Free, PFN_Pexlo_Data_Free)                     \
    X(Pexlo_PTZCtrlEx, PFN_PexloUnused)                         \
    X(Pexlo_DevDefenceEx, PFN_PexloUnused)                      \
    X(Pexlo_GetAccessTokenSmsCode, PFN_PexloUnused)             \
    X(Pexlo_VerifyAccessTokenSmsCode, PFN_PexloUnused)          \
    X(Pexlo_GetHdSignSmsCode, PFN_PexloUnused)                  \
    X(Pexlo_VerifyHdSignSmsCode, PFN_PexloUnused)               \
    X(Pexlo_UpdateCameraInfoToLocal, PFN_PexloUnused)           \
    X(Pexlo_Data_GetDevDetailInfo, PFN_PexloUnused)             \
    X(Pexlo_RequestPassThrough, PFN_PexloUnused)                \
    X(Pexlo_GetSingleDeviceInfo, PFN_PexloUnused)               \
    X(Pexlo_DefenceDeviceBySerial, PFN_PexloUnused)             \
    X(Pexlo_AddDevice, PFN_PexloUnused)                         \
    X(Pexlo_OpenCloudService, PFN_PexloUnused)                  \
    X(Pexlo_GetCloudServiceState, PFN_PexloUnused)              \
    X(Pexlo_Push_SetAlarmCallBack, PFN_PexloUnused)             \
    X(Pexlo_Push_StartRecvEx, PFN_PexloUnused)                  \
    X(Pexlo_Push_StopRecv, PFN_PexloUnused)                     \
    X(Pexlo_DecryptPicture, PFN_PexloUnused)                    \
    X(Pexlo_HttpSendWithWait, PFN_PexloUnused)                  \
    X(Pexlo_GetAreaList, PFN_PexloUnused)                       \
    X(Pexlo_SetDeviceDDNSDomain, PFN_PexloUnused)               \
    X(Pexlo_GetDeviceDDNSInfo, PFN_PexloUnused)                 \
    X(Pexlo_SetDeviceDDNSAutoMapping, PFN_PexloUnused)          \
    X(Pexlo_SetDeviceDDNSManualMapping, PFN_PexloUnused)        \
    X(Pexlo_GetLastErrorCode, PFN_Pexlo_GetLastErrorCode)       \
    X(Pexlo_GetLastErrorDesc, PFN_PexloUnused)                  \
    X(Pexlo_SetAuthAddr, PFN_PexloUnused)                       \
    X(Pexlo_GetSdkVersion, PFN_PexloUnused)                     \
    X(Pexlo_SetClientVer, PFN_PexloUnused)                      \
    X(Pexlo_StartSearchExtend, PFN_PexloUnused)                 \
    X(Pexlo_StartPlayBackNoCheck, PFN_PexloUnused)              \
    X(Pexlo_StartPlayWithStreamType, PFN_Pexlo_StartPlayWithStreamType)

class CPexloInterfaceMgr {
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
    bool AllocSession(void* user, std::string& sessionId);
    bool DataFree(void* p);
    bool FreeSession(const std::string& sessionId);
    bool StopRealPlay(const std::string& sessionId);
    bool StartPlayWithStreamType(const std::string& sessionId, const std::string& deviceSerial, int channelNo,
                                 const std::string& key, int streamType);
    // The SDK's own code of its last failed call, or 600002 when the SDK cannot tell.
    int GetLastErrorCode();

    // Last-error records: module 62 with the SDK's code, or with 600002 for a missing entry point.
    void RecordMissingEntry();
    void RecordFailedCall();

    // Finishes the SDK and unloads it unless sessions still run on it; safe to call more than once.
    void ReleaseLibrary();

    size_t SessionCount() const;

    static constexpr int kErrorModule = 62;
    static constexpr int kErrorMissingEntry = 600002;
    static constexpr int kErrorNullPointer = 10005;
    static constexpr int kEntryPointCount = 78;

    std::atomic<bool> m_bInit{false};
    Zeph::Platform::ModuleHandle m_hModule = nullptr;

    // A later LoadDso may rewrite the table while streams still use it on other threads.
#define PEXLO_DECLARE_ENTRY(name, type) std::atomic<type> p##name{nullptr};
    PEXLO_ENTRY_POINTS(PEXLO_DECLARE_ENTRY)
#undef PEXLO_DECLARE_ENTRY

    std::string m_strAuthAddr;
    std::string m_strPlatformAddr;
    std::string m_strAppKey;

private:
    template <class T>
    friend class CSingletonHolder;
    CPexloInterfaceMgr() = default;

    enum class CallResult { kOk, kMissing, kFailed };
    // Calls a wrapped entry point: a missing one records 600002, a negative result the SDK's own code.
    template <class Fn, class... Args>
    CallResult Call(const std::atomic<Fn>& entry, Args... args) {
        Fn fn = entry.load();
        if (fn == nullptr) {
            RecordMissingEntry();
            return CallResult::kMissing;
        }
        if (fn(args...) < 0) {
            RecordFailedCall();
            return CallResult::kFailed;
        }
        return CallResult::kOk;
    }

    std::set<std::string> m_mapSession GUARDED_BY(m_mutexSession);  // ids allocated and not yet freed
    // Guards m_mapSession only; never held across an SDK call. Lock order: a leaf, taken alone (a stream's
    // source lock may be held around it, never the other way).
    mutable Kestro_Mutex m_mutexSession;
};

}  // namespace PexloCommon
