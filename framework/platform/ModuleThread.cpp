#include "platform/Platform.h"

namespace Zeph {
namespace Platform {

ModuleThread::~ModuleThread() { Release(); }

ModuleThread::ModuleThread(ModuleThread&& other) noexcept : m_handle(other.m_handle), m_id(other.m_id) {
    other.m_handle = 0;
}

ModuleThread& ModuleThread::operator=(ModuleThread&& other) noexcept {
    if (this != &other) {
        Release();
        m_handle = other.m_handle;
        m_id = other.m_id;
        other.m_handle = 0;
    }
    return *this;
}

}  // namespace Platform
}  // namespace Zeph
