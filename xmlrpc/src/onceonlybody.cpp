#include "onceonlybody.h"

#include <cstring>

OnceOnlyBody::OnceOnlyBody(QByteArray bytes)
    : bytes(std::move(bytes))
    , total(this->bytes.size())
{
    open(QIODevice::ReadOnly);
}

qint64 OnceOnlyBody::bytesAvailable() const
{
    return total - position + QIODevice::bytesAvailable();
}

qint64 OnceOnlyBody::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, total - position);
    std::memcpy(data, bytes.constData() + position, size_t(count));
    position += count;
    if (position == total)
        bytes.clear(); // sent: the document need not stay in memory
    return count;
}
