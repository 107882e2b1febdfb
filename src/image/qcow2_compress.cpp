// Inflating compressed qcow2 clusters: raw deflate data (no zlib or gzip
// wrapper) with a 4 KiB window, as qcow2 writers produce it.
#include <zlib.h>

#include <cstdint>
#include <cstring>

#include "core/export.h"
#include "qcow2.h"

namespace {

constexpr int kWindowBits = -12;

constexpr char kNoInput[] = "invalid compressed data buffer.";
constexpr char kNoOutput[] = "invalid uncompressed data buffer.";
constexpr char kSameBuffer[] = "invalid compressed data buffer equals uncompressed data buffer.";
constexpr char kOutputTooLarge[] = "invalid uncompressed data size value exceeds maximum.";
constexpr char kInputTooLarge[] = "invalid compressed data size value exceeds maximum.";
constexpr char kInitFailed[] = "unable to initialize zlib stream";
constexpr char kDataError[] = "unable to read compressed data:data error.";
constexpr char kTargetTooSmall[] = "unable to read compressed data:target buffer too small.";
constexpr char kTruncated[] = "unable to read compressed data:data is truncated.";
constexpr char kNoMemory[] = "unable to read compressed data:insufficient memory";
constexpr char kUndefined[] = "zlib returned undefined error.";
constexpr char kEndFailed[] = "unable to finalize zlib stream.";

void set_error(char **error, const char *text) {
    if (error) *error = const_cast<char *>(text);
}

} // namespace

ORU_EXPORT int qcow2_decompress(const void *compressed_data, size_t compressed_data_size,
                                void *uncompressed_data, size_t *uncompressed_data_size,
                                char **error) {
    if (!compressed_data) return set_error(error, kNoInput), -1;
    if (!uncompressed_data || !uncompressed_data_size) return set_error(error, kNoOutput), -1;
    if (compressed_data == uncompressed_data) return set_error(error, kSameBuffer), -1;
    if (*uncompressed_data_size > UINT32_MAX) return set_error(error, kOutputTooLarge), -1;
    // zlib counts in 32 bits; a larger input would be silently cut short.
    if (compressed_data_size > UINT32_MAX) return set_error(error, kInputTooLarge), -1;

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    stream.next_in = static_cast<Bytef *>(const_cast<void *>(compressed_data));
    stream.avail_in = static_cast<uInt>(compressed_data_size);
    stream.next_out = static_cast<Bytef *>(uncompressed_data);
    stream.avail_out = static_cast<uInt>(*uncompressed_data_size);
    if (inflateInit2(&stream, kWindowBits) != Z_OK) return set_error(error, kInitFailed), -1;

    int result = inflate(&stream, Z_FINISH);
    switch (result) {
    case Z_STREAM_END:
        *uncompressed_data_size = stream.total_out;
        break;
    case Z_BUF_ERROR:
        // Output full with more to come: the caller's cluster is complete.
        // Output not full: the input ran out (truncated data), and whatever
        // is in the buffer is not a cluster.
        if (stream.avail_out != 0) {
            inflateEnd(&stream);
            *uncompressed_data_size = 0;
            return set_error(error, kTruncated), -1;
        }
        set_error(error, kTargetTooSmall);
        *uncompressed_data_size *= 2;
        break;
    default:
        inflateEnd(&stream);
        *uncompressed_data_size = 0;
        set_error(error, result == Z_DATA_ERROR  ? kDataError
                         : result == Z_MEM_ERROR ? kNoMemory
                                                 : kUndefined);
        return -1;
    }
    if (inflateEnd(&stream) != Z_OK) return set_error(error, kEndFailed), -1;
    return 0;
}
