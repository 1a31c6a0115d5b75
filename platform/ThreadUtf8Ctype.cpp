#include "platform/ThreadUtf8Ctype.h"

namespace plat {

ThreadUtf8Ctype::ThreadUtf8Ctype() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr))
{
    // Without a C.UTF-8 locale the thread keeps its own.
    if (utf8_)
        previous_ = uselocale(utf8_);
}

ThreadUtf8Ctype::~ThreadUtf8Ctype()
{
    if (!utf8_)
        return;
    uselocale(previous_);
    freelocale(utf8_);
}

} // namespace plat
