// Where the plugin's own files lie below the host executable's directory, in Windows form; the platform layer
// makes paths native.
#pragma once

namespace PexloCommon {

// The plugin directory: the SDK library and the configuration file.
constexpr const char* kPluginDirSuffix = "../plugins\\vantraiot_plugin";

}  // namespace PexloCommon
