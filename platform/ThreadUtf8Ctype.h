#pragma once
// Makes the calling thread's character classification UTF-8 (C.UTF-8) for
// the guard's life, whatever the user's locale. Libraries that convert names
// through the locale's character set (libarchive) then hand over and take
// UTF-8, also under LANG=C. Other threads are not touched.
#include <locale.h>

namespace plat {

class ThreadUtf8Ctype {
public:
    ThreadUtf8Ctype();
    ~ThreadUtf8Ctype();
    ThreadUtf8Ctype(const ThreadUtf8Ctype &) = delete;
    ThreadUtf8Ctype &operator=(const ThreadUtf8Ctype &) = delete;

private:
    locale_t utf8_;
    locale_t previous_ = nullptr;
};

} // namespace plat
