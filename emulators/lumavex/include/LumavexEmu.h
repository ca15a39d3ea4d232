// Test-facing surface of the Lumavex emulator: the error codes it reports through Pexlo_GetLastErrorCode and
// the diagnostic exports a test resolves with dlsym next to the Pexlo_ entry points.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum LumavexEmuError {
    LVX_EMU_ERR_INVALID_ARGUMENT = 400001,  // null or empty argument
    LVX_EMU_ERR_UNKNOWN_SESSION = 400002,
    LVX_EMU_ERR_NOT_INITIALIZED = 400003,  // session allocation before Pexlo_InitLib/Pexlo_InitClientLib
    LVX_EMU_ERR_ALREADY_PLAYING = 400004,
    LVX_EMU_ERR_NOT_PLAYING = 400005,
    LVX_EMU_ERR_NO_DATA_CALLBACK = 400006,
    LVX_EMU_ERR_UNKNOWN_BUFFER = 400007,  // Pexlo_Data_Free on a pointer the emulator did not hand out
    LVX_EMU_ERR_BAD_TOKEN_JSON = 400008,
    LVX_EMU_ERR_MEDIA_UNAVAILABLE = 400009,  // clip missing, unreadable or without access-unit delimiters
    LVX_EMU_ERR_INJECTED = 400010,           // LUMAVEX_EMU_FAIL_INIT / _ALLOC / _PLAY
    LVX_EMU_ERR_FREE_REFUSED = 400011,       // CLING serials: Pexlo_FreeSession refused
    LVX_EMU_ERR_DEVICE_REFUSED = 400901,     // "REFUSE" serials; message info "UE101"
    LVX_EMU_ERR_NO_DEVICE_TOKEN = 400902,    // client-library mode, serial without device token; info "UE104"
    LVX_EMU_ERR_LATE_REFUSAL = 400903,       // "LATE" serials: refused, yet data follows until the free
};

typedef int (*PFN_LumavexEmu_OpenSessions)(void);
typedef int (*PFN_LumavexEmu_OutstandingIds)(void);
typedef int (*PFN_LumavexEmu_ActivePlays)(void);
// Copies the call journal (NUL-terminated, truncated to size) and returns its full length without the NUL.
typedef int (*PFN_LumavexEmu_Journal)(char* buffer, int size);
typedef void (*PFN_LumavexEmu_Reset)(void);
// The same for the current directory at the moment the library was loaded.
typedef int (*PFN_LumavexEmu_LoadDirectory)(char* buffer, int size);
// Calls the session's message callback synchronously on the calling thread; negative for an unknown session.
typedef int (*PFN_LumavexEmu_SendMessage)(const char* sessionId, unsigned int msgType, int errorCode, const char* info);
typedef long long (*PFN_LumavexEmu_PacketsSent)(void);
// From inside the data callback: the number of the packet being delivered, counted from 1 per session (its
// plays included); 0 on any other thread or outside a callback.
typedef long long (*PFN_LumavexEmu_CurrentPacket)(void);

// GHOST serials: data and message callbacks made after their session was freed, since load.
typedef long long (*PFN_LumavexEmu_LateCallbacks)(void);
// REENTER serials: callbacks made on the thread inside Pexlo_StopRealPlayEx, since load.
typedef long long (*PFN_LumavexEmu_ReentrantCallbacks)(void);
// HANG serials: play stops and frees blocked right now; and a release of every one of them.
typedef int (*PFN_LumavexEmu_HungCalls)(void);
typedef void (*PFN_LumavexEmu_ReleaseHung)(void);
// The rules of LUMAVEX_EMU_BLOCK, set while calls run (the environment may not be changed then); null goes back to
// the variable.
typedef void (*PFN_LumavexEmu_SetBlock)(const char* rules);

#ifdef __cplusplus
}  // extern "C"
#endif
