// Measures Yaz0 decoding speed in MB/s of output (10^6 bytes a second).
//
// Generates its own data (text, pixel rows with repeats, padding and noise,
// compressed by the tests' greedy encoder) and, when the corpus is present,
// also decodes its .szs files. Each figure is the best of several runs,
// once into a fresh block from memory_allocate as the reader does (page
// faults included) and once into a block already written (the decoder
// alone).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/platform.h"
#include "archive/yaz0.h"
#include "carrier_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
    double fresh = 0;  // MB/s into a newly mapped block
    double warm = 0;   // MB/s into a block already written
};

// Decodes `file` (header included) `runs` times each way; exits on failure.
Figures measure(const std::vector<std::uint8_t>& file, int runs) {
    const std::uint8_t* stream = file.data() + dravik::yaz0::kHeaderSize;
    const std::size_t stream_size = file.size() - dravik::yaz0::kHeaderSize;
    const std::size_t size = dravik::yaz0::decoded_size(file.data());
    double best_fresh = 1e30, best_warm = 1e30;
    dravik::MemoryBlock warm;
    if (!dravik::memory_allocate(warm, size)) std::exit(2);
    for (int i = 0; i < runs; ++i) {
        dravik::MemoryBlock fresh;
        Clock::time_point start = Clock::now();
        if (!dravik::memory_allocate(fresh, size) ||
            !dravik::yaz0::decode(stream, stream_size, fresh.data, size)) {
            std::fprintf(stderr, "decoding failed\n");
            std::exit(1);
        }
        best_fresh = std::min(best_fresh, seconds_since(start));

        start = Clock::now();
        if (!dravik::yaz0::decode(stream, stream_size, warm.data, size)) std::exit(1);
        best_warm = std::min(best_warm, seconds_since(start));
    }
    return Figures{size / best_fresh / 1e6, size / best_warm / 1e6};
}

void report(const char* what, std::size_t in, std::size_t out, const Figures& f) {
    std::printf("%-52s %9zu -> %9zu bytes  %7.0f MB/s fresh  %7.0f MB/s warm\n", what, in, out,
                f.fresh, f.warm);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int runs = 7;

    const std::vector<std::uint8_t> data = fixture::sample_data(megabytes << 20, 1);
    const std::vector<std::uint8_t> file = fixture::compress(data, fixture::Coding::yaz0);
    {
        std::vector<std::uint8_t> check(data.size());
        if (!dravik::yaz0::decode(file.data() + 16, file.size() - 16, check.data(), check.size()) ||
            check != data) {
            std::fprintf(stderr, "round trip failed\n");
            return 1;
        }
    }
    report("generated data (text, pixels, padding, noise)", file.size(), data.size(),
           measure(file, runs));

#ifdef DRAVIK_CORPUS_DIR
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> szs;
    for (const auto& e : fs::recursive_directory_iterator(DRAVIK_CORPUS_DIR, ec))
        if (e.path().extension() == ".szs") szs.push_back(e.path());
    std::sort(szs.begin(), szs.end());
    for (const fs::path& path : szs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        if (bytes.size() < dravik::yaz0::kHeaderSize || !dravik::yaz0::has_magic(bytes.data())) continue;
        // Small files are decoded many times over so that each timing is long
        // enough to mean something.
        report(path.filename().string().c_str(), bytes.size(), dravik::yaz0::decoded_size(bytes.data()),
               measure(bytes, 200));
    }
#endif
    return 0;
}
