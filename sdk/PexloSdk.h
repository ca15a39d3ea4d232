// The cloud SDK's C contract: the entry points the plugin calls and the two callbacks the SDK makes.
// Texts are NUL-terminated byte strings; every entry point returns an int.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Message callback, registered with Pexlo_AllocSessionEx. `info` is never null and may be empty.
typedef void (*PexloMsgCallBack)(const char* sessionId, unsigned int msgType, int errorCode, const char* info,
                                 void* user);
// Data callback, registered with Pexlo_SetDataCallBack.
typedef void (*PexloDataCallBack)(unsigned long dataType, const unsigned char* data, unsigned long length, void* user);

typedef int (*PFN_Pexlo_InitLib)(const char* authAddr, const char* openAddr, const char* appKey, void* reserved);
typedef int (*PFN_Pexlo_InitClientLib)(const char* authAddr, const char* openAddr, const char* appKey, void* reserved,
                                       int clientMode);
typedef int (*PFN_Pexlo_FiniLib)(void);
typedef int (*PFN_Pexlo_SetConfigInfo)(int key, int value);
typedef int (*PFN_Pexlo_SetPlatformAddr)(const char* address);
typedef int (*PFN_Pexlo_SetAccessToken)(const char* token);
typedef int (*PFN_Pexlo_SetNonDeviceTkToken)(const char* token);
typedef int (*PFN_Pexlo_SetDeviceTkTokens)(const char* tokenJson);
typedef int (*PFN_Pexlo_AllocSessionEx)(PexloMsgCallBack callback, void* user, char** sessionId, int* length);
typedef int (*PFN_Pexlo_Data_Free)(void* data);
typedef int (*PFN_Pexlo_FreeSession)(const char* sessionId);
typedef int (*PFN_Pexlo_SetDataCallBack)(const char* sessionId, PexloDataCallBack callback, void* user);
typedef int (*PFN_Pexlo_SetSessionConfig)(const char* sessionId, int key, int value);
typedef int (*PFN_Pexlo_StartPlayWithStreamType)(const char* sessionId, void* window, const char* deviceSerial,
                                                 int channelNo, const char* streamKey, int streamType);
typedef int (*PFN_Pexlo_StopRealPlayEx)(const char* sessionId);
typedef int (*PFN_Pexlo_GetLastErrorCode)(void);

#ifdef __cplusplus
}  // extern "C"
#endif
