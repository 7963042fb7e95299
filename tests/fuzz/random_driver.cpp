// Runs LLVMFuzzerTestOneInput on random inputs where libFuzzer is not
// available. Takes libFuzzer's flag spelling: -runs=N -seed=S -max_len=L.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::uint64_t flag_value(std::string_view argument, std::string_view name, std::uint64_t fallback) {
    if (!argument.starts_with(name)) return fallback;
    return std::strtoull(argument.substr(name.size()).data(), nullptr, 10);
}

// Bytes that decode to the units the rules care about, to ASCII that matters
// to options and numbers, or to anything.
std::uint8_t random_byte(std::mt19937_64& random) {
    static constexpr std::string_view ASCII = "--pid0123456789 \"\\x=";
    const auto choice = std::uniform_int_distribution<int>(0, 9)(random);
    if (choice < 5) return static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 15)(random));
    if (choice < 8)
        return static_cast<std::uint8_t>(ASCII[std::uniform_int_distribution<std::size_t>(0, ASCII.size() - 1)(random)]);
    return static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 255)(random));
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t runs = 100000;
    std::uint64_t seed = 1;
    std::uint64_t max_len = 256;
    for (int i = 1; i < argc; ++i) {
        runs = flag_value(argv[i], "-runs=", runs);
        seed = flag_value(argv[i], "-seed=", seed);
        max_len = flag_value(argv[i], "-max_len=", max_len);
    }
    std::mt19937_64 random(seed);
    std::vector<std::uint8_t> input;
    for (std::uint64_t run = 0; run < runs; ++run) {
        // Mostly short inputs, where rules meet at the edges; some long ones.
        const std::uint64_t limit = run % 8 == 0 ? max_len : std::min<std::uint64_t>(max_len, 24);
        input.resize(std::uniform_int_distribution<std::uint64_t>(0, limit)(random));
        for (auto& byte : input) byte = random_byte(random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("Done %llu runs (seed %llu)\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(seed));
    return 0;
}
