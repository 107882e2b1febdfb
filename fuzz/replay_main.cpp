// Replays a corpus through a fuzz target without libFuzzer, so that the
// ordinary (gcc, ASan/UBSan) build checks every seed and every regression
// input. Arguments: files or directories (whose regular files are replayed
// in name order). Exit status 77 (skipped) when there is nothing to replay.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(int argc, char **argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        fs::path given = fs::absolute(argv[i], ec);
        if (fs::is_directory(given, ec)) {
            std::vector<fs::path> files;
            for (const auto &entry : fs::directory_iterator(given, ec))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fs::is_regular_file(given, ec)) {
            inputs.push_back(given);
        } else {
            std::fprintf(stderr, "replay: no such corpus: %s\n", argv[i]);
        }
    }
    return inputs;
}

} // namespace

int main(int argc, char **argv) {
    // Paths are made absolute first: targets may change the working directory.
    std::vector<fs::path> inputs = inputs_of(argc, argv);
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: nothing to replay\n");
        return 77;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path &input : inputs) {
        std::ifstream in(input, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
            return 1;
        }
        // A copy of exactly the input's size, so that overreads are caught.
        std::vector<uint8_t> exact(bytes);
        static uint8_t no_bytes;
        LLVMFuzzerTestOneInput(exact.empty() ? &no_bytes : exact.data(), exact.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
