// vantra-host --check: an installation check for the site. It starts the plugin once, as the media server will,
// in the installation's own layout, and explains in plain words the first step that fails. Its answers come from
// the plugin's result and its own log records wherever they can give them, so that the check never disagrees
// with the plugin; the files it looks at and the one request it repeats only say why.
#include "Check.h"

#include <httplib.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "PluginLibrary.h"

namespace vantra_host {
namespace {

namespace fs = std::filesystem;

const char* kAccessPath = "/videoWall/v1/NubrixAccessInfo/get";

void Line(const char* verdict, int step, const char* what, const std::string& text) {
    std::printf("%-4s %d. %-19s %s\n", verdict, step, what, text.c_str());
}
void Hint(const std::string& text) { std::printf("%29s%s\n", "", text.c_str()); }

// A configured value as the plugin read it, its white space shown: [ 10.0.0.5\n] rather than 10.0.0.5.
std::string Visible(const std::string& text) {
    std::string out = "[";
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += c;
        }
    }
    return out + "]";
}

std::string Normal(const std::string& path) { return fs::path(path).lexically_normal().string(); }

bool HasBlank(const std::string& text) { return text.find_first_of(" \t\r\n") != std::string::npos; }

// The plugin's records of this run, one a line.
struct Records {
    std::string text;
    bool Has(const std::string& what) const { return text.find(what) != std::string::npos; }
    // What follows `before` up to `after` in the first record that has both; empty when there is none.
    std::string Between(const std::string& before, const std::string& after) const {
        const size_t at = text.find(before);
        if (at == std::string::npos) return std::string();
        const size_t start = at + before.size();
        const size_t end = text.find(after, start);
        const size_t line = text.find('\n', start);
        return end == std::string::npos || end > line ? std::string() : text.substr(start, end - start);
    }
};

// What the platform server answers the access-information request, asked once more for the reasons only.
struct Answer {
    bool reached = false;
    bool json = false;
    int code = -1;
    std::string cloudType;
    std::vector<std::string> empty;  // fields the plugin reads that came back empty
};

Answer AskPlatform(const std::string& address, const std::string& port) {
    Answer answer;
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (address.empty() || HasBlank(address) || end == port.c_str() || *end != '\0' || number <= 0 || number > 65535)
        return answer;
    httplib::Client client(address, static_cast<int>(number));
    client.set_connection_timeout(3);
    client.set_read_timeout(3);
    const auto reply = client.Post(kAccessPath, "", "application/json");
    if (!reply) return answer;
    answer.reached = true;
    rapidjson::Document doc;
    doc.Parse(reply->body.c_str(), reply->body.size());
    answer.json = !doc.HasParseError() && doc.IsObject();
    if (!answer.json) return answer;
    // Found once and then read: RapidJSON's operator[] on a missing member is undefined.
    const auto code = doc.FindMember("code");
    if (code != doc.MemberEnd() && code->value.IsInt()) answer.code = code->value.GetInt();
    const auto object = doc.FindMember("data");
    const rapidjson::Value* data = object != doc.MemberEnd() && object->value.IsObject() ? &object->value : nullptr;
    for (const char* field : {"accessToken", "nubrixAddr", "appKey", "nubrixType", "authAddr", "openAddr"}) {
        const rapidjson::Value* text = nullptr;
        if (data != nullptr) {
            const auto member = data->FindMember(field);
            if (member != data->MemberEnd() && member->value.IsString()) text = &member->value;
        }
        if (text == nullptr || text->GetStringLength() == 0) answer.empty.push_back(field);
        if (text != nullptr && std::string(field) == "nubrixType") answer.cloudType = text->GetString();
    }
    return answer;
}

std::string Join(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
    return out;
}

}  // namespace

int RunCheck(const std::string& exeDir, const std::string& pluginPath) {
    const std::string pluginDir = Normal(exeDir + "../plugins/vantraiot_plugin");
    std::printf("vantra-host --check: the installation whose programs are in %s\n", Normal(exeDir).c_str());

    // 1. The plugin itself: it loads and exports the interface.
    void* plugin = OpenLibrary(pluginPath);
    if (plugin == nullptr) {
        Line("FAIL", 1, "plugin library", pluginPath + " does not load: " + LoadError());
        Hint("put VantraIotSMSPlugin from the release package there, or name it with --plugin");
        return kCheckPluginUnusable;
    }
    PluginExports api;
    if (const char* missing = api.Resolve(plugin)) {
        Line("FAIL", 1, "plugin library", pluginPath + " lacks the export " + missing);
        Hint("this is not a build of the VantraIot SMS plugin: install the one from the release package");
        CloseLibrary(plugin);
        return kCheckPluginUnusable;
    }
    Line("ok", 1, "plugin library", Normal(pluginPath));

    // The plugin starts once, writing its records where only this check reads them.
    const std::string logDir = MakeTempDir("vantra-check-");
    const char* previous = std::getenv("VANTRA_LOG_DIR");  // NOLINT(concurrency-mt-unsafe): only this thread sets it
    const std::string keep = previous != nullptr ? previous : "";
    SetEnv("VANTRA_LOG_DIR", logDir);
    const int result = api.Init();
    if (result == 0) api.Fini();
    CloseLibrary(plugin);  // unloading writes every record through
    if (previous != nullptr) {
        SetEnv("VANTRA_LOG_DIR", keep);
    } else {
        UnsetEnv("VANTRA_LOG_DIR");
    }
    Records records;
    records.text = ReadFile(logDir + "/VantraIotSMSPlugin.log");
    std::error_code ec;
    fs::remove_all(logDir, ec);
    const auto done = [&] {
        std::printf(result == 0 ? "vantra-host --check: the plugin starts (DeviceObject_Init returned 0)\n"
                                : "vantra-host --check: the plugin does not start (DeviceObject_Init returned %d)\n",
                    result);
        return result == 0 ? kCheckOk : kCheckInitFailed;
    };

    // 2. The plugin directory and the cloud SDK in it.
    const std::string sdk = Normal(pluginDir + "/" + kSdkFile);
    if (records.Has("[LoadLib] Failed. Lib dir:")) {
        if (!fs::exists(pluginDir)) {
            Line("FAIL", 2, "plugin directory", pluginDir + " does not exist");
            Hint(
                "unpack the release package into the media server's directory, so that bin/ and plugins/ sit side by "
                "side");
        } else if (!fs::exists(sdk)) {
            Line("FAIL", 2, "cloud SDK", std::string(kSdkFile) + " is not in " + pluginDir);
            Hint("copy the Lumavex SDK's " + std::string(kSdkFile) + " into that directory");
        } else {
            Line("FAIL", 2, "cloud SDK", sdk + " does not load: " + records.Between(" Error:", " ErrorNum:"));
            Hint("install the Lumavex SDK built for this system, with the libraries it needs beside it");
        }
        return done();
    }
    Line("ok", 2, "cloud SDK", sdk);
    const std::string lacking = records.Between("lacks entry points the plugin calls: ", "[");
    if (!lacking.empty()) {
        Hint("note: it lacks " + lacking + "; the plugin runs without them, and their calls fail");
    }

    // 3. The configuration file, as the plugin read it.
    const std::string address = records.Between("m_strServerAddr:[", "], m_strServerPort[");
    const std::string port = records.Between("], m_strServerPort[", "].[");
    const std::string config = Normal(pluginDir + "/VantraIotSMSConfig.xml");
    if (address.empty() || port.empty()) {
        if (!fs::exists(config)) {
            Line("FAIL", 3, "configuration file", config + " does not exist");
            Hint("copy the VantraIotSMSConfig.xml of the release package there and set the address and port");
        } else {
            Line("FAIL", 3, "configuration file",
                 "address " + Visible(address) + ", port " + Visible(port) + " read from " + config);
            Hint(
                "it needs to be well-formed XML with a <Config> root whose <VantraIotServer> comes before "
                "<VantraIotServerPort>, both filled in");
        }
        return done();
    }
    Line("ok", 3, "configuration file", "address " + Visible(address) + ", port " + Visible(port));
    if (HasBlank(address) || HasBlank(port)) Hint("note: white space around a value is kept, and breaks the URL");

    // 4. The platform server at the URL the plugin built from them.
    const std::string url = "http://" + address + ":" + port + kAccessPath;
    const bool failedSend = records.Has("[GetNubrixAccessInfo] HttpSend failed!");
    const bool tooLarge = records.Has("HttpSend reply refused: over");
    const Answer answer = AskPlatform(address, port);
    if (failedSend || tooLarge || !records.Has("[GetNubrixAccessInfo] success!")) {
        if (tooLarge) {
            Line("FAIL", 4, "platform server", url + " answered with over 1 MiB, which is refused");
        } else if (failedSend && !records.Has("HttpSend GetContentLength : [")) {
            Line("FAIL", 4, "platform server", url + " was not reached");
            Hint("check that the platform server runs there and that no firewall stands between");
        } else if (failedSend) {
            Line("FAIL", 4, "platform server", url + " answered with an empty body or no length");
        } else if (!answer.json) {
            Line("FAIL", 4, "platform server", url + " answered, but not with JSON");
        } else {
            Line("FAIL", 4, "platform server", url + " answered with code " + std::to_string(answer.code));
            Hint("the platform server refuses the plugin: see its own log for why");
        }
        return done();
    }
    Line("ok", 4, "platform server", url + " answered with code 0");
    if (!answer.empty.empty()) Hint("note: empty in its answer: " + Join(answer.empty));

    // 5. The cloud SDK's initialisation, in the mode the cloud type selects.
    // The plugin's own records say which mode it chose; only a missing entry point leaves the answer to say it.
    const bool clientMode =
        records.Has("Pexlo_InitClientLib") || (records.Has("pexlo not init interface.") && answer.cloudType == "3");
    const std::string mode =
        std::string(clientMode ? "client-library" : "plain") + " mode (cloud type " + Visible(answer.cloudType) + ")";
    if (records.Has("[InitLib] Failed")) {
        if (records.Has("pexlo not init interface.")) {
            Line("FAIL", 5, "cloud SDK start", "the SDK lacks the entry point that starts it in " + mode);
        } else {
            Line("FAIL", 5, "cloud SDK start", "the SDK refused to start in " + mode);
            Hint("check the authAddr, openAddr and appKey the platform server hands out, and the SDK's own log");
        }
        return done();
    }
    Line(result == 0 ? "ok" : "FAIL", 5, "cloud SDK start", "started in " + mode);
    return done();
}

}  // namespace vantra_host
