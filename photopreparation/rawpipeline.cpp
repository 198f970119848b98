#include "rawpipeline.h"

#include <QIODevice>

#include <algorithm>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include <jpeglib.h>

namespace {

// libjpeg ends an error by jumping back to the caller; warnings are only
// counted, never printed: a count above zero is a damaged photo.
struct Errors
{
    jpeg_error_mgr manager;
    std::jmp_buf back;
};

[[noreturn]] void jumpBack(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<Errors *>(info->err)->back, 1);
}

void silent(j_common_ptr) {}

jpeg_error_mgr *quiet(Errors *errors)
{
    jpeg_std_error(&errors->manager);
    errors->manager.error_exit = jumpBack;
    errors->manager.output_message = silent;
    return &errors->manager;
}

// The photo's planes, padded to whole rows of MCUs, handed from the decoding
// thread to the encoding one a row of MCUs at a time.
struct Planes
{
    int count = 0;
    int group = 8; // luma rows in one row of MCUs
    int vertical[3] = {1, 1, 1}; // rows of the plane per `group / 8` luma rows
    int stride[3] = {};
    std::unique_ptr<JSAMPLE[]> pixels[3];

    std::mutex mutex;
    std::condition_variable decodedMore;
    int decoded = 0; // luma rows
    bool ended = false;

    // Row pointers for the row of MCUs that starts at luma row `at`.
    void rowsAt(int at, JSAMPROW rows[3][16], JSAMPARRAY groups[3]) const
    {
        for (int c = 0; c < count; ++c) {
            const int first = at / (group / (8 * vertical[c]));
            for (int r = 0; r < 8 * vertical[c]; ++r)
                rows[c][r] = pixels[c].get() + std::size_t(first + r) * stride[c];
            groups[c] = rows[c];
        }
    }
    void publish(int rows, bool end)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            decoded = rows;
            ended = end;
        }
        decodedMore.notify_one();
    }
    void waitFor(int rows)
    {
        std::unique_lock<std::mutex> lock(mutex);
        decodedMore.wait(lock, [this, rows] { return ended || decoded >= rows; });
    }
};

// Runs on the decoding thread; no object with a destructor lives between
// the jump and its target.
void decodeRows(j_decompress_ptr info, Planes *planes, bool *failed)
{
    JSAMPROW rows[3][16];
    JSAMPARRAY groups[3];
    if (setjmp(reinterpret_cast<Errors *>(info->err)->back) == 0) {
        while (info->output_scanline < info->output_height) {
            planes->rowsAt(int(info->output_scanline), rows, groups);
            jpeg_read_raw_data(info, groups, JDIMENSION(planes->group));
            planes->publish(int(info->output_scanline), false);
        }
        jpeg_finish_decompress(info); // the rest up to its end: a warning there counts too
    } else {
        *failed = true;
    }
    planes->publish(int(info->output_height), true);
}

bool encodeRows(j_compress_ptr info, Planes *planes, int quality)
{
    JSAMPROW rows[3][16];
    JSAMPARRAY groups[3];
    if (setjmp(reinterpret_cast<Errors *>(info->err)->back) != 0)
        return false;
    jpeg_set_defaults(info);
    jpeg_set_colorspace(info, planes->count == 3 ? JCS_YCbCr : JCS_GRAYSCALE); // luma 2 x 2, chroma 1 x 1
    jpeg_set_quality(info, quality, TRUE);
    info->raw_data_in = TRUE;
    info->dct_method = JDCT_ISLOW;
    jpeg_start_compress(info, TRUE);
    while (info->next_scanline < info->image_height) {
        const int at = int(info->next_scanline);
        planes->waitFor(std::min(at + planes->group, int(info->image_height)));
        planes->rowsAt(at, rows, groups);
        jpeg_write_raw_data(info, groups, JDIMENSION(planes->group));
    }
    jpeg_finish_compress(info);
    return true;
}

// Reads the header and sets `planes` up for a 4:2:0 or grey photo.
bool startDecoding(j_decompress_ptr info, const QByteArray &jpeg, Planes *planes)
{
    if (setjmp(reinterpret_cast<Errors *>(info->err)->back) != 0)
        return false;
    jpeg_mem_src(info, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(info, TRUE);
    const jpeg_component_info *c = info->comp_info;
    const bool grey = info->num_components == 1;
    const bool yuv420 = info->num_components == 3 && info->jpeg_color_space == JCS_YCbCr && c[0].h_samp_factor == 2
        && c[0].v_samp_factor == 2 && c[1].h_samp_factor == 1 && c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1
        && c[2].v_samp_factor == 1;
    if (!grey && !yuv420)
        return false;
    info->raw_data_out = TRUE;
    jpeg_start_decompress(info);
    planes->count = info->num_components;
    planes->group = 8 * info->max_v_samp_factor;
    const int groupsHigh = int((info->image_height + planes->group - 1) / planes->group);
    for (int i = 0; i < planes->count; ++i) {
        planes->vertical[i] = c[i].v_samp_factor;
        planes->stride[i] = int((c[i].width_in_blocks + 1) * DCTSIZE); // whole MCUs
        const std::size_t bytes = std::size_t(planes->stride[i]) * groupsHigh * 8 * c[i].v_samp_factor;
        planes->pixels[i].reset(new (std::nothrow) JSAMPLE[bytes]);
        if (!planes->pixels[i])
            return false;
    }
    return true;
}

} // namespace

RawPipeline::Outcome RawPipeline::recode(const QByteArray &jpeg, int quality, QIODevice *out)
{
    jpeg_decompress_struct decoder;
    Errors decoderErrors;
    decoder.err = quiet(&decoderErrors);
    jpeg_create_decompress(&decoder);
    Planes planes;
    if (!startDecoding(&decoder, jpeg, &planes)) {
        jpeg_destroy_decompress(&decoder);
        return Outcome::Unsupported;
    }
    jpeg_compress_struct encoder;
    Errors encoderErrors;
    encoder.err = quiet(&encoderErrors);
    jpeg_create_compress(&encoder);
    unsigned char *encoded = nullptr;
    unsigned long encodedSize = 0;
    jpeg_mem_dest(&encoder, &encoded, &encodedSize);
    encoder.image_width = decoder.image_width;
    encoder.image_height = decoder.image_height;
    encoder.input_components = planes.count;
    encoder.in_color_space = planes.count == 3 ? JCS_YCbCr : JCS_GRAYSCALE;

    bool failed = false;
    std::thread decoding(decodeRows, &decoder, &planes, &failed);
    const bool written = encodeRows(&encoder, &planes, quality);
    decoding.join(); // the decoder writes into the planes up to its end

    const bool warned = decoderErrors.manager.num_warnings > 0;
    jpeg_destroy_decompress(&decoder);
    jpeg_destroy_compress(&encoder);
    Outcome outcome = Outcome::Unsupported;
    if (!failed && warned)
        outcome = Outcome::Damaged;
    else if (!failed && written
             && out->write(reinterpret_cast<const char *>(encoded), qint64(encodedSize)) == qint64(encodedSize))
        outcome = Outcome::Recoded;
    std::free(encoded);
    return outcome;
}
