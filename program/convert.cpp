#include "program/convert.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dravik/codec.h"
#include "lib/carrier/carrier_read.h"
#include "program/messages.h"
#include "program/output_file.h"

namespace dravik {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

// Sends `size` bytes of `source` from its start to `sink`, in pieces.
bool stream(const Source& source, std::uint64_t size, const ByteSink& sink, bool* read_failed) {
    if (const std::uint8_t* bytes = source_bytes(source)) return sink(bytes, static_cast<std::size_t>(size));
    // No larger than the input: a small file should not pay for zeroing a
    // buffer it never fills.
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)));
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = size - done < kChunk ? static_cast<std::size_t>(size - done) : kChunk;
        if (!source_read(source, done, chunk.data(), n)) return *read_failed = true, false;
        if (!sink(chunk.data(), n)) return false;
        done += n;
    }
    return true;
}

}  // namespace

int run_convert(const Options& options, Console& out) {
    const bool compress = options.mode == Mode::compress;
    const char* flag = compress ? "--compress" : "--decompress";
    if (options.operands.size() != 2) {
        report_line(out, std::string(flag) + " needs IN and OUT");
        return 1;
    }
    const std::string& in_path = options.operands[0];
    const std::string& out_path = options.operands[1];
    const auto fail = [&out](const std::string& line) {
        report_line(out, line);
        return 1;
    };

    Source source;
    source.file = file_open_read(in_path.c_str());
    if (!source.file.valid() || !file_stat(source.file.fd, &source.size, &source.identity))
        return fail(escaped_path(in_path) + ": " + std::strerror(errno));

    OutputFile output;
    std::string reason;
    if (!output_begin(output, out_path, options.force, reason)) return fail(escaped_path(out_path) + ": " + reason);
    if (same_identity(output.existing, source.identity))
        return fail(escaped_path(out_path) + ": is the input file; not replaced");

    const ByteSink to_file = [&output](const std::uint8_t* p, std::size_t n) {
        return output_write(output, p, n);
    };
    bool read_failed = false;
    bool ok = false;
    if (compress) {
        if (source.size > 0xFFFFFFFFu)
            return fail(escaped_path(in_path) + ": larger than Yaz0 can hold (4 GiB - 1)");
        yaz0::EncoderPtr encoder =
            yaz0::encoder_begin(static_cast<std::uint32_t>(source.size), options.yaz0, to_file);
        if (!encoder) return fail(escaped_path(in_path) + ": not enough memory for the encoder");
        ok = stream(source, source.size,
                    [&encoder](const std::uint8_t* p, std::size_t n) {
                        return yaz0::encoder_feed(*encoder, p, n);
                    },
                    &read_failed) &&
             yaz0::encoder_finish(*encoder);
    } else {
        std::uint32_t notices = 0;
        std::vector<CarrierKind> carriers;
        const OpenError failure = carrier_peel_source(source, &notices, &carriers);
        if (failure == OpenError::cannot_open) return fail(escaped_path(in_path) + ": " + std::strerror(errno));
        if (failure == OpenError::out_of_memory) return fail(escaped_path(in_path) + ": not enough memory");
        if (failure != OpenError::none)
            return fail(escaped_path(in_path) + ": the compressed or wrapped data is damaged");
        if (carriers.empty())
            return fail(escaped_path(in_path) + ": holds no Yaz0, LZ77, IMD5 or banner layer to remove");
        for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
            if (notices & notice) report_line(out, notice_line(escaped_path(in_path), notice));
        ok = stream(source, source.size, to_file, &read_failed);
    }
    if (!ok) {
        if (read_failed) return fail(escaped_path(in_path) + ": cannot be read");
        return fail(escaped_path(out_path) + ": cannot write: " + std::strerror(output.error_number ? output.error_number : EIO));
    }
    if (!output_commit(output, reason)) return fail(escaped_path(out_path) + ": " + reason);
    return 0;
}

}  // namespace dravik
