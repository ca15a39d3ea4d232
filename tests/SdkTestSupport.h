// Loads the SDK emulator into the plugin's interface manager, for tests of the binding from inside.
#pragma once

#include <string>

#include "EmulatorProbe.h"
#include "PexloInterfaceMgr.h"

namespace vantra_test {

// Loads `dir` into the manager and initialises the SDK in plain mode.
inline bool LoadAndInit(const std::string& dir = EmulatorDir()) {
    auto* mgr = PexloCommon::CPexloInterfaceMgr::GetInstance();
    if (!mgr->LoadDso(dir)) return false;
    return mgr->InitLib("https://auth.example", "https://open.example", "APPKEY");
}

}  // namespace vantra_test
