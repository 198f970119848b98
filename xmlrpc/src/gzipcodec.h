#ifndef GZIPCODEC_H
#define GZIPCODEC_H

#include <QByteArray>

// HTTP's gzip content coding, through zlib.
namespace GzipCodec {

QByteArray compress(const QByteArray &data);
// False for a damaged stream, or one inflating past `limit` bytes.
bool inflate(const QByteArray &data, qint64 limit, QByteArray *out);

} // namespace GzipCodec

#endif
