// Fuzz target: the scanner against the formatted-input model. The first byte
// of the input picks the buffer size, the rest is the source text. Any
// difference in the names recorded, or any crash, is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "formatted_model.h"
#include "scan/scan.h" // kDefaultBufferSize

namespace {

FILE *open_bytes(const uint8_t *data, size_t size)
{
    // fmemopen refuses an empty buffer on some C libraries; a one-byte buffer
    // limited to zero readable bytes is not expressible, so use a temp file.
    if (size == 0)
        return tmpfile();
    return fmemopen(const_cast<uint8_t *>(data), size, "rb");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const size_t kSizes[] = {1, 2, 3, 4, 7, 16, 4096, kDefaultBufferSize};
    if (size == 0)
        return 0;
    size_t buffer_size = kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])];
    const uint8_t *text = data + 1;
    size_t length = size - 1;

    FILE *stream = open_bytes(text, length);
    if (stream == nullptr)
        abort();
    NameSequences expected = formatted_model_scan(stream);
    rewind(stream);
    NameSequences actual = scanner_names(stream, buffer_size);
    fclose(stream);
    if (!(actual == expected)) {
        fprintf(stderr, "scanner and model differ at buffer size %zu\n", buffer_size);
        abort();
    }
    return 0;
}
