// Measures Yaz0 decoding speed in MB/s of output (10^6 bytes a second),
// then the encoder: for each level, the size over the smallest stream the
// format allows (from the tests' brute-force reference) and MB/s of input on
// one thread, and how much faster two threads code 10 MB than one.
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
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lib/platform/platform.h"
#include "lib/codec/yaz0_decode.h"
#include "dravik/codec.h"
#include "carrier_writer.h"
#include "yaz0_reference.h"

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

using dravik::yaz0::Level;
constexpr Level kLevels[] = {Level::fast, Level::standard, Level::best};
constexpr const char* kLevelNames[] = {"fast", "default", "best"};

// Encodes `data` `runs` times; returns the stream and the best wall and
// processor times (the processor time of all threads together). On one
// thread the processor time is the speed of one core, whatever else the
// machine is doing.
std::vector<std::uint8_t> time_encode(const std::vector<std::uint8_t>& data, Level level,
                                      unsigned threads, int runs, double& seconds, double& cpu) {
    std::vector<std::uint8_t> file;
    seconds = cpu = 1e30;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point start = Clock::now();
        const std::clock_t cpu_start = std::clock();
        file = dravik::yaz0::encode(data.data(), data.size(), {level, threads});
        cpu = std::min(cpu, double(std::clock() - cpu_start) / CLOCKS_PER_SEC);
        seconds = std::min(seconds, seconds_since(start));
    }
    std::vector<std::uint8_t> check(data.size());
    if (file.size() < 16 ||
        !dravik::yaz0::decode(file.data() + 16, file.size() - 16, check.data(), check.size()) ||
        check != data) {
        std::fprintf(stderr, "encoder round trip failed\n");
        std::exit(1);
    }
    return file;
}

// One line: each level's size over the minimum and its speed on one thread.
void report_levels(const char* what, const std::vector<std::uint8_t>& data, long shipped = -1) {
    const std::uint64_t minimum = fixture::yaz0_minimum_size(data.data(), data.size());
    const int runs = data.size() < (std::size_t{1} << 20) ? 5 : 2;
    std::printf("%-44s %9zu %9llu", what, data.size(), static_cast<unsigned long long>(minimum));
    for (Level level : kLevels) {
        double seconds = 0, cpu = 0;
        const std::size_t size = time_encode(data, level, 1, runs, seconds, cpu).size();
        std::printf("  %+6.2f%% %5.0f", 100.0 * (double(size) / double(minimum) - 1), data.size() / cpu / 1e6);
    }
    if (shipped >= 0) std::printf("  %+6.2f%%", 100.0 * (double(shipped) / double(minimum) - 1));
    std::printf("\n");
}

// Two threads against one on 10 MB, each level.
void scaling() {
    std::printf("\nencoding 10 MB of generated data on 1 and 2 threads: wall seconds (processor seconds)\n");
    const std::vector<std::uint8_t> big = fixture::sample_data(10000000, 5);
    for (std::size_t l = 0; l < 3; ++l) {
        double one = 0, two = 0, cpu_one = 0, cpu_two = 0;
        time_encode(big, kLevels[l], 1, 5, one, cpu_one);
        time_encode(big, kLevels[l], 2, 5, two, cpu_two);
        std::printf("%-8s 1 thread %7.3f s (%7.3f)  2 threads %7.3f s (%7.3f)  %.2fx faster\n", kLevelNames[l],
                    one, cpu_one, two, cpu_two, one / two);
    }
}

// Each level on the files listed in `minima` (lines of size, minimum and path,
// as `yaz0_bench minimum` prints them): size over the minimum and MB/s of
// processor time, in this process, the best of `runs`; then the totals.
void compare(const char* minima, int runs, unsigned levels) {
    std::ifstream list(minima);
    std::string line;
    double in_total = 0, min_total = 0, out_total[3] = {}, cpu_total[3] = {}, worst[3] = {};
    while (std::getline(list, line)) {
        const std::size_t a = line.find('\t'), b = line.find('\t', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const double minimum = std::strtod(line.substr(a + 1, b - a - 1).c_str(), nullptr);
        const std::string path = line.substr(b + 1);
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::printf("%-40s %9zu", std::filesystem::path(path).filename().string().c_str(), data.size());
        in_total += double(data.size());
        min_total += minimum;
        for (std::size_t l = 0; l < 3; ++l) {
            if (!(levels >> l & 1)) continue;
            double seconds = 0, cpu = 0;
            const double size = double(time_encode(data, kLevels[l], 1, runs, seconds, cpu).size());
            out_total[l] += size;
            cpu_total[l] += cpu;
            worst[l] = std::max(worst[l], size / minimum);
            std::printf("  %s %.4f %6.1f", kLevelNames[l], size / minimum, double(data.size()) / cpu / 1e6);
        }
        std::printf("\n");
    }
    std::printf("%-40s %9.0f", "total", in_total);
    for (std::size_t l = 0; l < 3; ++l)
        if (levels >> l & 1)
            std::printf("  %s %.4f (worst %.4f) %6.1f", kLevelNames[l], out_total[l] / min_total, worst[l],
                    in_total / cpu_total[l] / 1e6);
    std::printf("\n");
}

}  // namespace

// yaz0_bench [MiB to decode]: everything; yaz0_bench scaling: the scaling only.
// For bench/yaz0_peer_bench.py: yaz0_bench minimum FILE... prints each file's
// size and the size of its smallest Yaz0 stream (header included), tab
// separated; yaz0_bench sample SIZE SEED OUT writes generated data;
// yaz0_bench compare MINIMA [RUNS [LEVELS]] measures each level (LEVELS: a
// bit mask, 1 fast, 2 default, 4 best) on the files listed in MINIMA, a file
// of such lines.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "scaling") == 0) {
        scaling();
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "minimum") == 0) {
        for (int i = 2; i < argc; ++i) {
            std::ifstream in(argv[i], std::ios::binary);
            const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                                  std::istreambuf_iterator<char>());
            if (!in.is_open() || in.bad()) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 1;
            }
            std::printf("%zu\t%llu\t%s\n", bytes.size(),
                        static_cast<unsigned long long>(fixture::yaz0_minimum_size(bytes.data(), bytes.size())),
                        argv[i]);
        }
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[1], "compare") == 0) {
        compare(argv[2], argc > 3 ? std::atoi(argv[3]) : 3, argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 7);
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "sample") == 0) {
        const std::vector<std::uint8_t> data =
            fixture::sample_data(std::strtoul(argv[2], nullptr, 10), static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
        std::ofstream out(argv[4], std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return out ? 0 : 1;
    }
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

    std::printf("\nencoding, one thread: size over the minimum, MB/s of input (processor time)\n");
    std::printf("%-44s %9s %9s  %-14s %-14s %-14s %s\n", "input", "bytes", "minimum", "fast", "default",
                "best", "as shipped");
    report_levels("generated data (text, pixels, padding, noise)", fixture::sample_data(4 << 20, 2));
    report_levels("run of one byte", std::vector<std::uint8_t>(1 << 20, 0));
    {
        std::vector<std::uint8_t> unit = fixture::sample_data(3000, 3), repeats;
        while (repeats.size() < (1u << 20)) repeats.insert(repeats.end(), unit.begin(), unit.end());
        report_levels("a 3000-byte stretch repeated", repeats);
    }
#ifdef DRAVIK_CORPUS_DIR
    for (const fs::path& path : szs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        if (bytes.size() < dravik::yaz0::kHeaderSize || !dravik::yaz0::has_magic(bytes.data())) continue;
        std::vector<std::uint8_t> data(dravik::yaz0::decoded_size(bytes.data()));
        if (!dravik::yaz0::decode(bytes.data() + 16, bytes.size() - 16, data.data(), data.size())) continue;
        report_levels(path.filename().string().c_str(), data, static_cast<long>(bytes.size()));
    }
#endif

    scaling();
    return 0;
}
