// The cloud SDK's entry-point table: the one list of its 78 names, and their resolved addresses.
#pragma once

#include <atomic>
#include <string>
#include <type_traits>

#include "PexloSdk.h"
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

// The resolved addresses, one member per entry (p followed by its name), null when not resolved. Atomic: a
// later LoadDso may rewrite the table while streams still use it on other threads.
struct CPexloEntryTable {
#define PEXLO_DECLARE_ENTRY(name, type) std::atomic<type> p##name{nullptr};
    PEXLO_ENTRY_POINTS(PEXLO_DECLARE_ENTRY)
#undef PEXLO_DECLARE_ENTRY

    static constexpr int kEntryPointCount = 78;

    void Resolve(Zeph::Platform::ModuleHandle module);
    void Clear();
    // The entries the plugin calls that the last Resolve left null, space-separated; empty when none.
    std::string MissingUsedEntries() const;
    // The name of the entry whose member is at `entry`.
    const char* EntryName(const void* entry) const;
};

}  // namespace PexloCommon
