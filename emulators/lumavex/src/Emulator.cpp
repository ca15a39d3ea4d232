#include "Emulator.h"

#include <rapidjson/document.h>

#include <mutex>
#include <string>

#include "LumavexEmu.h"

namespace lumavex_emu {

std::atomic<int> gLastError{0};
Emulator gEmu;

int Fail(int code) {
    gLastError = code;
    return kFailure;
}

namespace {
bool AddTokenObject(const rapidjson::Value& value, std::vector<std::pair<std::string, std::string>>& out) {
    if (!value.IsObject()) {
        return false;
    }
    auto serial = value.FindMember("deviceSerial");
    auto channel = value.FindMember("channelNo");
    auto token = value.FindMember("deviceToken");
    if (serial == value.MemberEnd() || !serial->value.IsString() || serial->value.GetStringLength() == 0 ||
        channel == value.MemberEnd() || !channel->value.IsInt() || token == value.MemberEnd() ||
        !token->value.IsString()) {
        return false;
    }
    out.emplace_back(serial->value.GetString(), token->value.GetString());
    return true;
}
}  // namespace

bool ParseDeviceTokens(const char* text, std::vector<std::pair<std::string, std::string>>& out) {
    rapidjson::Document document;
    if (document.Parse(text).HasParseError()) {
        return false;
    }
    if (document.IsArray()) {
        for (const rapidjson::Value& item : document.GetArray()) {
            if (!AddTokenObject(item, out)) {
                return false;
            }
        }
        return true;
    }
    return AddTokenObject(document, out);
}

namespace {
std::mutex gBlockMutex;
bool gBlockSet = false;  // LumavexEmu_SetBlock's rules stand in for the variable
std::string gBlockRules;
}  // namespace

void SetBlockRules(const char* rules) {
    std::lock_guard<std::mutex> lock(gBlockMutex);
    gBlockSet = rules != nullptr;
    gBlockRules = rules != nullptr ? rules : "";
}

void Stall(const char* entry) {
    std::string rules;
    {
        std::lock_guard<std::mutex> lock(gBlockMutex);
        if (gBlockSet) {
            rules = gBlockRules;
        } else if (const char* text = std::getenv("LUMAVEX_EMU_BLOCK")) {
            rules = text;
        }
    }
    if (rules.empty()) return;
    const long ms = BlockRuleMs(rules.c_str(), entry, CountCall(entry));
    if (ms < 0) {
        gEmu.hang.Block(-1);
    } else {
        BlockFor(ms);
    }
}

int Init(const char* entry, const char* authAddr, const char* openAddr, const char* appKey, bool client,
         int clientArg) {
    if (client) {
        gEmu.journal.Add(
            {entry, JournalField(authAddr), JournalField(openAddr), JournalField(appKey), std::to_string(clientArg)});
    } else {
        gEmu.journal.Add({entry, JournalField(authAddr), JournalField(openAddr), JournalField(appKey)});
    }
    Stall(entry);
    if (Empty(authAddr) || Empty(openAddr) || Empty(appKey)) {
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    if (EnvFlag("LUMAVEX_EMU_FAIL_INIT")) {
        return Fail(LVX_EMU_ERR_INJECTED);
    }
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    gEmu.initialized = true;
    gEmu.clientMode = client;
    return 0;
}

int RememberText(const char* entry, const char* text, std::string& slot) {
    gEmu.journal.Add({entry, JournalField(text)});
    Stall(entry);
    if (Empty(text)) {
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    slot = text;
    return 0;
}

}  // namespace lumavex_emu
