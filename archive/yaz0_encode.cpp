#include "archive/yaz0_encode.h"

#include <cstring>

#include "archive/yaz0.h"

namespace dravik::yaz0 {

// A stream of literals only, in groups of eight: valid Yaz0 of every input,
// and the simplest thing the streaming interface can carry.
struct Encoder {
    std::uint32_t expected = 0;
    std::uint64_t fed = 0;
    ByteSink sink;
    bool failed = false;
    std::uint8_t group[1 + 8] = {};
    std::size_t group_used = 0;
};

void EncoderFree::operator()(Encoder* encoder) const { std::default_delete<Encoder>()(encoder); }

namespace {

bool flush_group(Encoder& e) {
    if (e.group_used == 0) return true;
    const std::size_t tokens = e.group_used;
    e.group[0] = static_cast<std::uint8_t>(0xFF00u >> tokens);
    e.group_used = 0;
    if (!e.sink(e.group, 1 + tokens)) e.failed = true;
    return !e.failed;
}

}  // namespace

EncoderPtr encoder_begin(std::uint32_t decoded_size, const EncodeOptions&, ByteSink sink) {
    EncoderPtr e(std::make_unique<Encoder>().release());
    e->expected = decoded_size;
    e->sink = std::move(sink);
    std::uint8_t header[kHeaderSize] = {'Y', 'a', 'z', '0'};
    header[4] = static_cast<std::uint8_t>(decoded_size >> 24);
    header[5] = static_cast<std::uint8_t>(decoded_size >> 16);
    header[6] = static_cast<std::uint8_t>(decoded_size >> 8);
    header[7] = static_cast<std::uint8_t>(decoded_size);
    if (!e->sink(header, sizeof header)) e->failed = true;
    return e;
}

bool encoder_feed(Encoder& e, const std::uint8_t* data, std::size_t size) {
    if (e.failed) return false;
    if (e.fed + size > e.expected) return e.failed = true, false;
    e.fed += size;
    for (std::size_t i = 0; i < size; ++i) {
        e.group[1 + e.group_used++] = data[i];
        if (e.group_used == 8 && !flush_group(e)) return false;
    }
    return true;
}

bool encoder_finish(Encoder& e) {
    if (e.failed || e.fed != e.expected) return false;
    return flush_group(e);
}

std::vector<std::uint8_t> encode(const std::uint8_t* data, std::size_t size,
                                 const EncodeOptions& options) {
    std::vector<std::uint8_t> out;
    EncoderPtr e = encoder_begin(static_cast<std::uint32_t>(size), options,
                                 [&out](const std::uint8_t* p, std::size_t n) {
                                     out.insert(out.end(), p, p + n);
                                     return true;
                                 });
    encoder_feed(*e, data, size);
    encoder_finish(*e);
    return out;
}

}  // namespace dravik::yaz0
