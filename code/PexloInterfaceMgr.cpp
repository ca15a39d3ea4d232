#include "PexloInterfaceMgr.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "PluginLog.h"
#include "Singleton.h"
#include "TackStreamFromNubrix.h"
#include "ZephBase/Error.h"

namespace PexloCommon {

namespace {

constexpr const char* kPath = "..\\..\\code\\PexloInterfaceMgr";

thread_local bool t_bFailed = false;
thread_local int t_iFailure = 0;

void Record(int code) {
    Zeph::Base::Error::SetLastError(Zeph::Base::Error::ErrorCode(CPexloInterfaceMgr::kErrorModule, code));
    t_bFailed = true;
    t_iFailure = code;
}

// Runs before the SDK's own static objects are destroyed at exit (it is registered after the SDK is
// loaded), and at this library's unload; the singleton's destructor would run too late at exit.
void ReleaseSdkAtExit() {
    CPexloInterfaceMgr* mgr = CSingletonHolder<CPexloInterfaceMgr>::Peek();
    if (mgr != nullptr) mgr->ReleaseLibrary();
}

}  // namespace

CPexloInterfaceMgr* CPexloInterfaceMgr::GetInstance() { return CSingletonHolder<CPexloInterfaceMgr>::Get(); }

CPexloInterfaceMgr::~CPexloInterfaceMgr() { ReleaseLibrary(); }

void CPexloInterfaceMgr::ReleaseLibrary() {
    // A call still under way would return into a finished, or unmapped, library.
    if (m_watch.CallsInProgress() != 0 || m_watch.JobsInProgress() != 0) return;
    if (m_bInit.load()) {
#if defined(_WIN32)
        // Under the loader lock: no thread may be started and waited for here.
        FiniLib();
#else
        if (Zeph::Platform::ProcessExiting()) {
            FiniLib();
        } else {
            auto job = m_watch.StartJob("Unload", [this] { FiniLib(); });
            if (!m_watch.AwaitJob(job, CSdkWatch::CallLimit())) {
                VANTRA_LOG_HERE(kLogFailure, kLogModule,
                                "[%s][Unload] %s has not returned after %lld ms: left behind, the SDK stays "
                                "loaded[%s(%d)]",
                                "PexloCommon::CPexloInterfaceMgr::ReleaseLibrary", CSdkWatch::WhereIs(*job),
                                CSdkWatch::MsSince(job->start), kPath);
                return;
            }
            m_watch.StopWorkers();
        }
#endif
    }
    if (m_hModule != nullptr) {
        // Unmapping the SDK under sessions it still runs would crash the host.
        if (SessionCount() == 0) Zeph::Platform::ReleaseModule(m_hModule);
        m_hModule = nullptr;
        m_bLoaded.store(false);
    }
    Clear();
}

void CPexloInterfaceMgr::RecordMissingEntry() { Record(kErrorMissingEntry); }

void CPexloInterfaceMgr::RecordFailedCall() { Record(GetLastErrorCode()); }

void CPexloInterfaceMgr::ForgetThreadFailure() { t_bFailed = false; }

bool CPexloInterfaceMgr::ThreadFailure(int* code) {
    if (t_bFailed) *code = t_iFailure;
    return t_bFailed;
}

int CPexloInterfaceMgr::GetLastErrorCode() {
    int code = kErrorMissingEntry;
    Invoke(pPexlo_GetLastErrorCode, Missing::kQuiet, &code);
    return code;
}

int CPexloInterfaceMgr::GetLastErrorCodeWithin(std::chrono::milliseconds bound) {
    if (pPexlo_GetLastErrorCode.load() == nullptr) return kErrorMissingEntry;
    auto code = std::make_shared<std::atomic<int>>(kErrorMissingEntry);
    auto job = m_watch.StartJob("DeviceObject_GetLastError", [this, code] { code->store(GetLastErrorCode()); });
    if (m_watch.AwaitJob(job, bound)) return code->load();
    VANTRA_LOG_HERE(kLogFailure, kLogModule,
                    "[%s][DeviceObject_GetLastError] %s has not returned after %lld ms: %d returned[%s(%d)]",
                    "PexloCommon::CPexloInterfaceMgr::GetLastErrorCodeWithin", CSdkWatch::WhereIs(*job),
                    CSdkWatch::MsSince(job->start), kErrorMissingEntry, kPath);
    return kErrorMissingEntry;
}

bool CPexloInterfaceMgr::LoadDso(const std::string& dir) {
    Zeph::Platform::ModuleHandle module = Zeph::Platform::LoadModuleFromDir(dir, Zeph::Platform::SdkLibraryName());
    const bool newLibrary = module != nullptr && module != m_hModule;
    // One reference per manager however often Init loads: the second one to the same library goes back, and
    // so does an earlier library's, unless sessions still run in it.
    if (module != nullptr && module == m_hModule) Zeph::Platform::ReleaseModule(module);
    if (newLibrary && m_hModule != nullptr && SessionCount() == 0) Zeph::Platform::ReleaseModule(m_hModule);
    m_hModule = module;
    m_bLoaded.store(module != nullptr);
    if (newLibrary) Zeph::Platform::RegisterUnloadHook(&ReleaseSdkAtExit);
    if (module == nullptr) {
        Zeph::Platform::SystemError error = Zeph::Platform::LastLoadError();
        VANTRA_LOG_AT(kLogFailure, kLogModule,
                      "[%s][NubrixPexloComm][CPexloInterfaceMgr] Failed to LoadDso, File path:%s. Error:%s "
                      "ErrorNum:%d[%s(%d)]",
                      "PexloCommon::CPexloInterfaceMgr::LoadDso", dir.c_str(), error.text.c_str(), error.number, kPath,
                      168);
        return false;
    }
    Resolve(module);
    // Still loaded, as a library that lacks them must be: each call of a missing one fails on its own.
    const std::string missing = MissingUsedEntries();
    if (!missing.empty()) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][NubrixPexloComm][CPexloInterfaceMgr] LoadDso: the SDK in %s lacks entry points the "
                        "plugin calls: %s[%s(%d)]",
                        "PexloCommon::CPexloInterfaceMgr::LoadDso", dir.c_str(), missing.c_str(), kPath);
    }
    return true;
}

bool CPexloInterfaceMgr::InitLib(const std::string& authAddr, const std::string& openAddr, const std::string& appKey) {
    static const char* kFunc = "PexloCommon::CPexloInterfaceMgr::InitLib";
    if (m_bInit.load()) return true;
    int result = 0;
    if (!Invoke(pPexlo_InitLib, Missing::kQuiet, &result, authAddr.c_str(), openAddr.c_str(), appKey.c_str(),
                static_cast<void*>(nullptr))) {
        VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] pexlo not init interface.", kLogBare, kFunc,
                      kPath, 293);
        return false;
    }
    if (result != 0) {
        VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] Pexlo_InitLib init failed.", kLogBare, kFunc,
                      kPath, 299);
        return false;
    }
    m_strAuthAddr = authAddr;
    m_strPlatformAddr = openAddr;
    m_strAppKey = appKey;
    m_bInit.store(true);
    return true;
}

bool CPexloInterfaceMgr::InitClientLib(const std::string& authAddr, const std::string& openAddr,
                                       const std::string& appKey) {
    static const char* kFunc = "PexloCommon::CPexloInterfaceMgr::InitClientLib";
    if (m_bInit.load()) return true;
    int result = 0;
    if (!Invoke(pPexlo_InitClientLib, Missing::kQuiet, &result, authAddr.c_str(), openAddr.c_str(), appKey.c_str(),
                static_cast<void*>(nullptr), 1)) {
        VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] pexlo not init interface.", kLogBare, kFunc,
                      kPath, 358);
        return false;
    }
    if (result != 0) {
        VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] Pexlo_InitClientLib init failed.", kLogBare,
                      kFunc, kPath, 364);
        return false;
    }
    VANTRA_LOG_AT(kLogProgress, "[NubrixPexloComm][CPexloInterfaceMgr]Pexlo_InitClientLib.", kLogBare, kFunc, kPath,
                  368);
    m_strAuthAddr = authAddr;
    m_strPlatformAddr = openAddr;
    m_strAppKey = appKey;
    m_bInit.store(true);
    return true;
}

bool CPexloInterfaceMgr::FiniLib() {
    if (!m_bInit.load()) return false;
    Invoke(pPexlo_FiniLib, Missing::kQuiet, nullptr);
    m_strAuthAddr.clear();
    m_strPlatformAddr.clear();
    m_strAppKey.clear();
    m_bInit.store(false);
    return true;
}

bool CPexloInterfaceMgr::SetConfigInfo(int key, int value) {
    static const char* kFunc = "PexloCommon::CPexloInterfaceMgr::SetConfigInfo";
    // Its result is not read.
    if (!Invoke(pPexlo_SetConfigInfo, Missing::kRecord, nullptr, key, value)) {
        VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] SetConfigInfo not init pPexlo_SetConfigInfo.",
                      kLogBare, kFunc, kPath, 383);
        return false;
    }
    VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] SetConfigInfo OK.", kLogBare, kFunc, kPath, 389);
    return true;
}

void CPexloInterfaceMgr::SetPlatformAddr(const std::string& addr) {
    // Its result is not read.
    if (Invoke(pPexlo_SetPlatformAddr, Missing::kRecord, nullptr, addr.c_str())) m_strPlatformAddr = addr;
}

bool CPexloInterfaceMgr::SetAccessToken(const std::string& token) {
    return Call(pPexlo_SetAccessToken, token.c_str()) == CallResult::kOk;
}

bool CPexloInterfaceMgr::SetNonDeviceTkToken(const std::string& token) {
    const CallResult result = Call(pPexlo_SetNonDeviceTkToken, token.c_str());
    if (result == CallResult::kFailed) {
        VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] Failed to SetNonDeviceTkToken.", kLogBare,
                      "PexloCommon::CPexloInterfaceMgr::SetNonDeviceTkToken", kPath, 437);
    }
    return result == CallResult::kOk;
}

bool CPexloInterfaceMgr::SetDeviceTkTokens(const std::string& tokenJson) {
    const CallResult result = Call(pPexlo_SetDeviceTkTokens, tokenJson.c_str());
    if (result == CallResult::kFailed) {
        VANTRA_LOG_AT(kLogFailure, "[NubrixPexloComm][CPexloInterfaceMgr] Failed to SetDeviceTkTokens.", kLogBare,
                      "PexloCommon::CPexloInterfaceMgr::SetDeviceTkTokens", kPath, 482);
    }
    return result == CallResult::kOk;
}

bool CPexloInterfaceMgr::AllocSession(void* user, std::string& sessionId) {
    char* text = nullptr;
    int length = 0;
    int result = 0;
    if (!Invoke(pPexlo_AllocSessionEx, Missing::kRecord, &result, &CTackStreamFromNubrix::MsgCallBackFunc, user, &text,
                &length)) {
        return false;
    }
    if (result < 0 || text == nullptr) {
        RecordFailedCall();
        return false;
    }
    sessionId.assign(text);
    DataFree(text);
    Kestro_Guard guard(&m_mutexSession);
    m_mapSession.insert(sessionId);
    return true;
}

bool CPexloInterfaceMgr::DataFree(void* p) {
    if (p == nullptr) {
        Record(kErrorNullPointer);
        return false;
    }
    return Call(pPexlo_Data_Free, p) == CallResult::kOk;
}

bool CPexloInterfaceMgr::FreeSession(const std::string& sessionId) {
    if (Call(pPexlo_FreeSession, sessionId.c_str()) != CallResult::kOk) {
        // A session the SDK would not let go may still call back, at any time: nothing it could reach is unmapped
        // or freed from here on (on Linux the core library stays anyway).
        CSdkWatch::LeaveBehind();
        return false;
    }
    Kestro_Guard guard(&m_mutexSession);
    m_mapSession.erase(sessionId);
    return true;
}

bool CPexloInterfaceMgr::StopRealPlay(const std::string& sessionId) {
    return Call(pPexlo_StopRealPlayEx, sessionId.c_str()) == CallResult::kOk;
}

bool CPexloInterfaceMgr::StartPlayWithStreamType(const std::string& sessionId, const std::string& deviceSerial,
                                                 int channelNo, const std::string& key, int streamType) {
    const CallResult result = Call(pPexlo_StartPlayWithStreamType, sessionId.c_str(), static_cast<void*>(nullptr),
                                   deviceSerial.c_str(), channelNo, key.c_str(), streamType);
    if (result == CallResult::kFailed) {
        VANTRA_LOG_AT(kLogFailure, kLogModule,
                      "[%s][NubrixPexloComm][CPexloInterfaceMgr] Failed to StartPlayWithStreamType. Error code: %d, "
                      "Error msg: %s.[%s(%d)]",
                      "PexloCommon::CPexloInterfaceMgr::StartPlayWithStreamType", GetLastErrorCode(), "", kPath, 664);
    }
    return result == CallResult::kOk;
}

size_t CPexloInterfaceMgr::SessionCount() const {
    Kestro_Guard guard(&m_mutexSession);
    return m_mapSession.size();
}

// The table must hold exactly the SDK's 78 entry points.
#define PEXLO_COUNT_ENTRY(name, type) +1  // NOLINT(bugprone-macro-parentheses): a term of the sum
static_assert(0 PEXLO_ENTRY_POINTS(PEXLO_COUNT_ENTRY) == CPexloEntryTable::kEntryPointCount, "78 entry points");
#undef PEXLO_COUNT_ENTRY

void CPexloEntryTable::Resolve(Zeph::Platform::ModuleHandle module) {
#define PEXLO_RESOLVE_ENTRY(name, type) p##name.store(reinterpret_cast<type>(Zeph::Platform::GetSymbol(module, #name)));
    PEXLO_ENTRY_POINTS(PEXLO_RESOLVE_ENTRY)
#undef PEXLO_RESOLVE_ENTRY
}

void CPexloEntryTable::Clear() {
#define PEXLO_CLEAR_ENTRY(name, type) p##name.store(nullptr);
    PEXLO_ENTRY_POINTS(PEXLO_CLEAR_ENTRY)
#undef PEXLO_CLEAR_ENTRY
}

const char* CPexloEntryTable::EntryName(const void* entry) const {
#define PEXLO_ENTRY_NAME(name, type) \
    if (entry == &p##name) return #name;
    PEXLO_ENTRY_POINTS(PEXLO_ENTRY_NAME)
#undef PEXLO_ENTRY_NAME
    return "Pexlo_?";
}

std::string CPexloEntryTable::MissingUsedEntries() const {
    std::string missing;
    // The entries the plugin calls are those with a type of their own.
#define PEXLO_MISSING_ENTRY(name, type)                                             \
    if (!std::is_same<type, PFN_PexloUnused>::value && p##name.load() == nullptr) { \
        missing += missing.empty() ? #name : " " #name;                             \
    }
    PEXLO_ENTRY_POINTS(PEXLO_MISSING_ENTRY)
#undef PEXLO_MISSING_ENTRY
    return missing;
}

}  // namespace PexloCommon
