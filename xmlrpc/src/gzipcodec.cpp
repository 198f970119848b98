#include "gzipcodec.h"

#include <zlib.h>

namespace {

// zlib's window bits asking for the gzip wrapper instead of zlib's own.
constexpr int gzipWindow = 15 + 16;
constexpr int chunk = 64 * 1024;

} // namespace

QByteArray GzipCodec::compress(const QByteArray &data)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzipWindow, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray();
}

bool GzipCodec::inflate(const QByteArray &data, qint64 limit, QByteArray *out)
{
    z_stream stream{};
    if (inflateInit2(&stream, gzipWindow) != Z_OK)
        return false;
    out->clear();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    int status = Z_OK;
    // Each pass fills a chunk or ends the stream, and the limit bounds the passes.
    while (status == Z_OK && out->size() <= limit) {
        const int start = out->size();
        out->resize(start + chunk);
        stream.next_out = reinterpret_cast<Bytef *>(out->data() + start);
        stream.avail_out = chunk;
        status = ::inflate(&stream, Z_NO_FLUSH);
        out->resize(int(stream.total_out));
    }
    inflateEnd(&stream);
    // Bytes after the end of the stream are damage too.
    return status == Z_STREAM_END && stream.avail_in == 0 && out->size() <= limit;
}
