// The plain replay program of a fuzz target: runs the target once on each
// file named on the command line, or on each file of a named directory, in
// name order, without libFuzzer. Crashing inputs can be rerun this way under
// gdb or valgrind, and the test suite replays the regression inputs with it.
// Fails when it finds no input at all, so that a mistyped path cannot pass.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path& path)
{
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(path)) {
        for (const auto& entry : std::filesystem::directory_iterator(path))
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
    } else if (std::filesystem::is_regular_file(path)) {
        inputs.push_back(path);
    }
    return inputs;
}

} // namespace

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::filesystem::path> inputs = inputs_of(argv[i]);
        if (inputs.empty()) {
            std::fprintf(stderr, "%s: no input in %s\n", argv[0], argv[i]);
            return 1;
        }
        for (const std::filesystem::path& input : inputs) {
            std::ifstream in(input, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (!in.eof() && in.fail()) {
                std::fprintf(stderr, "%s: cannot read %s\n", argv[0], input.c_str());
                return 1;
            }
            std::fprintf(stderr, "%s: %s\n", argv[0], input.c_str());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "usage: %s input-file-or-directory...\n", argv[0]);
        return 1;
    }
    std::fprintf(stderr, "%s: replayed %zu inputs\n", argv[0], replayed);
    return 0;
}
