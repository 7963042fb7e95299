// Runs LLVMFuzzerTestOneInput on seeded random inputs where libFuzzer is not
// at hand, with libFuzzer's flags -runs=N -seed=S -max_len=L. A broken
// property aborts the process, so a finding is the exit status.
#include <cstdint>
#include <cstdio>
#include <random>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    unsigned long long runs = 100000;
    unsigned long long seed = 1;
    unsigned long long max_len = 512;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        const auto value = [&] { return std::stoull(std::string(flag.substr(flag.find('=') + 1))); };
        if (flag.starts_with("-runs=")) runs = value();
        if (flag.starts_with("-seed=")) seed = value();
        if (flag.starts_with("-max_len=")) max_len = value();
    }
    std::mt19937_64 random(seed);
    // Bytes from a small alphabet most of the time, so that quotes, separators and dots meet.
    constexpr std::string_view alphabet = "\"\\/ \t.:?-aeC\xED\xA0\x80";
    for (unsigned long long run = 0; run < runs; ++run) {
        std::vector<std::uint8_t> input(random() % (max_len + 1));
        for (auto& byte : input)
            byte = random() % 4 ? alphabet[random() % alphabet.size()] : static_cast<std::uint8_t>(random());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("Done %llu runs\n", runs);
}
