#pragma once
// A value that one thread may change while others read it, such as a setting
// that the GUI thread changes while server and client threads use it. Every
// read hands out a copy taken under the value's own lock, so a reader never
// sees a value half written; a reader that needs one value for several steps
// takes one copy and keeps it. Reading and assigning look like they do for a
// plain variable of the type.
#include <mutex>
#include <utility>

namespace plat {

template <typename T>
class Synchronized {
public:
    Synchronized() = default;
    Synchronized(T value) : value_(std::move(value)) {}
    Synchronized(const Synchronized &) = delete;

    // The old value goes with the parameter, after the lock is left.
    Synchronized &operator=(T value)
    {
        const std::lock_guard lock(mutex_);
        std::swap(value_, value);
        return *this;
    }

    T value() const
    {
        const std::lock_guard lock(mutex_);
        return value_;
    }
    operator T() const { return value(); }

private:
    mutable std::mutex mutex_;
    T value_;
};

} // namespace plat
