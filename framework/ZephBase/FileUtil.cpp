#include "ZephBase/FileUtil.h"

#include "platform/Platform.h"

namespace Zeph {
namespace Base {
namespace FileUtil {

std::string GetCurExeDir() { return Platform::ExecutableDir(); }

}  // namespace FileUtil
}  // namespace Base
}  // namespace Zeph
