#pragma once

#include <string>

namespace Zeph {
namespace Base {
namespace FileUtil {

// Directory of the host executable, always ending in a path separator.
std::string GetCurExeDir();

}  // namespace FileUtil
}  // namespace Base
}  // namespace Zeph
