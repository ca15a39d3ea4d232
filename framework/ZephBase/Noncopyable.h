// Empty marker bases of the stream classes.
#pragma once

namespace Zeph {
namespace Base {

class CNoncopyable {
protected:
    CNoncopyable() = default;
    ~CNoncopyable() = default;

public:
    CNoncopyable(const CNoncopyable&) = delete;
    CNoncopyable& operator=(const CNoncopyable&) = delete;
};

class CNonThreadSafe {
public:
    CNonThreadSafe() = default;
    ~CNonThreadSafe() = default;
};

}  // namespace Base
}  // namespace Zeph
