#pragma once

#include <QByteArrayView>

#include <cerrno>
#include <unistd.h>

namespace wispline::server
{

// Writes every byte to a descriptor, going on after interrupted or partial writes; false on an
// error or a descriptor that takes nothing.
inline bool writeAll(int fd, QByteArrayView bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace wispline::server
