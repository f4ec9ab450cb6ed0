#include "startup/append_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

namespace dwnfrw {

AppendResult appendToFile(const QString& path, const QByteArray& bytes) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return {AppendResult::Stage::Open, errno};
    AppendResult result;
    qsizetype done = 0;
    while (done < bytes.size()) {
        errno = 0;
        const ssize_t got = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            result = {AppendResult::Stage::Write, errno};
            break;
        }
        done += got;
    }
    ::close(fd);
    return result;
}

}  // namespace dwnfrw
