// The framework's process-wide last-error record.
#pragma once

namespace Zeph {
namespace Base {

class Error {
public:
    class ErrorCode {
    public:
        ErrorCode(int module, int code) : m_iModule(module), m_iCode(code) {}
        ~ErrorCode() = default;
        int Module() const { return m_iModule; }
        int Code() const { return m_iCode; }
        bool operator==(const ErrorCode& other) const {
            return m_iModule == other.m_iModule && m_iCode == other.m_iCode;
        }

    private:
        int m_iModule;
        int m_iCode;
    };

    // Stores the record; the last writer wins, whichever thread it runs on.
    static void SetLastError(const ErrorCode& error);
    // The record stored last, or {0, 0} when none was stored.
    static ErrorCode GetLastError();
};

}  // namespace Base
}  // namespace Zeph
