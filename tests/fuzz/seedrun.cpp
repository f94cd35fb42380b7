// libFuzzer's main where there is no libFuzzer: each file of the directories given, once.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int seeds = 0;
    for (int arg = 1; arg < argc; ++arg) {
        for (const auto &entry : std::filesystem::directory_iterator(argv[arg])) {
            std::ifstream file(entry.path(), std::ios::binary);
            const std::vector<uint8_t> input {std::istreambuf_iterator<char>(file), {}};
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++seeds;
        }
    }
    std::printf("%d seeds run\n", seeds);
    return seeds > 0 ? 0 : 1;
}
