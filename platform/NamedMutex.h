#pragma once
// A mutex known by name to every process of the user: one program holds it,
// and a second program that asks for it learns that it already exists.
//
// It is an exclusive flock() on a file named after the mutex in
// $XDG_RUNTIME_DIR (else /tmp). The kernel drops the lock when the holder
// ends in any way, so a crashed program never leaves the name taken.
#include <QString>

namespace plat {

constexpr int ERROR_ALREADY_EXISTS = 183;
constexpr int ERROR_ACCESS_DENIED = 5;

class NamedMutex {
public:
    // Takes the mutex unless another holder has it. An empty name makes a
    // mutex that nobody else can see.
    explicit NamedMutex(const QString &name);
    ~NamedMutex();
    NamedMutex(const NamedMutex &) = delete;
    NamedMutex &operator=(const NamedMutex &) = delete;

    // True when another holder had the mutex; this object then holds nothing.
    bool alreadyExists() const { return lastError_ == ERROR_ALREADY_EXISTS; }
    // 0 when taken, ERROR_ALREADY_EXISTS, or ERROR_ACCESS_DENIED when the
    // lock file could not be made (nothing is held then, nor reported taken).
    int lastError() const { return lastError_; }
    // Gives the mutex up; the destructor does it too.
    void release();

private:
    int fd_ = -1;
    int lastError_ = 0;
};

} // namespace plat
