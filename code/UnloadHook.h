// What happens to a running plugin when its library goes away without DeviceObject_Fini, or the process exits.
#pragma once

namespace PexloCommon {

// Registers, once, the plugin's shutdown at the unload of this code or at process exit, after the SDK's own release
// hook (Init loads the SDK first), so that it runs before that one: the streams stop while their SDK is still there.
// Windows runs a DLL's hooks under the loader lock, where no thread may be joined, so there it registers nothing.
void RegisterShutdownAtUnload();

// The host has let the exports' library go (Linux): every request is cut off and stopped and the plugin's threads
// ended within the unload's bound, the SDK is finished and released unless something is still inside it, and the
// objects are destroyed, so that a later load starts afresh. What was left behind in the SDK keeps them instead.
void ShutdownForHostUnload();

}  // namespace PexloCommon
