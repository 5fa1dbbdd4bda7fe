// Runs a fuzz target over saved inputs, without libFuzzer: each argument is
// a file, or a directory whose files (at any depth, in name order) are run.
// Built with the ordinary compiler, so the sanitizer build of the tests
// replays every seed and every input that once found a bug.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

bool run_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t ran = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            ok = run_file(arg) && ok;
            ++ran;
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& e : fs::recursive_directory_iterator(arg, ec))
            if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const fs::path& f : files) {
            ok = run_file(f) && ok;
            ++ran;
        }
    }
    std::printf("replayed %zu inputs\n", ran);
    if (ran == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    return ok ? 0 : 1;
}
