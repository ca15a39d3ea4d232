/* The plugin's core as its exports reach it: one table of entry points. On Linux the exports live in a small library
 * of their own, the one the host loads and unloads, and the core in another that stays loaded once it has been: the
 * SDK's threads may call back into it, or return into it, after the host has let the plugin go. */
#pragma once

#include <stdint.h>

#include "VantraIotSMSPluginApi.h"

#if defined(_WIN32)
#define VANTRA_CORE_API
#else
#define VANTRA_CORE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Each entry answers as its export does and lets no exception out. */
typedef struct VantraCoreTable {
    int (*Init)(void);
    bool (*Fini)(void);
    DeviceObjectHandle (*CreateInstance)(void);
    int (*DestroyInstance)(DeviceObjectHandle handle);
    int (*StartStream)(DeviceObjectHandle handle, const DeviceStreamRequest* request, DeviceDataCallBack callback,
                       void* user);
    void (*StopStream)(DeviceObjectHandle handle);
    int (*GetLastError)(void);
    /* The inert exports: they only bring the plugin object up. */
    int (*Touch)(void);
    /* The host lets the plugin's library go: every request is cut off and stopped, the threads are ended within the
     * unload's bound, and the SDK is finished and released unless something is still inside it. The core stays
     * loaded, and a later Init starts it again. */
    void (*HostUnloading)(void);
} VantraCoreTable;

VANTRA_CORE_API const VantraCoreTable* VantraIotSMSPluginCore(void);

#ifdef __cplusplus
}  // extern "C"
#endif
