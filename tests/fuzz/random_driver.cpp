// Runs LLVMFuzzerTestOneInput on random inputs where libFuzzer is not
// available. Takes libFuzzer's flag spelling: -runs=N -seed=S -max_len=L.
// A run that ends the process (a broken property aborts, a sanitizer reports)
// is reported as "Crash in run N (seed S); input:" and the input's bytes in
// hex, so that it can be replayed as a test.

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Provided by the sanitizer runtime when there is one: called before a
// sanitizer ends the process.
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)(void));

namespace {

const std::vector<std::uint8_t>* running_input = nullptr;
std::uint64_t running_run = 0;
std::uint64_t running_seed = 0;

void write_text(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void write_number(std::uint64_t value) {
    char digits[20];
    std::size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    write_text(std::string_view(digits + at, sizeof digits - at));
}

// Runs inside a signal handler or the sanitizer's report, so it only writes.
void report_running_input() {
    if (running_input == nullptr) return;
    static constexpr char HEX[] = "0123456789ABCDEF";
    write_text("Crash in run ");
    write_number(running_run + 1);
    write_text(" (seed ");
    write_number(running_seed);
    write_text("); input:");
    for (const std::uint8_t byte : *running_input) {
        const char text[3] = {' ', HEX[byte >> 4], HEX[byte & 0xF]};
        write_text(std::string_view(text, 3));
    }
    write_text("\n");
    running_input = nullptr;
}

void report_and_abort(int) {
    report_running_input();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

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
    running_input = &input;
    running_seed = seed;
    std::signal(SIGABRT, report_and_abort);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(report_running_input);
    for (std::uint64_t run = 0; run < runs; ++run) {
        running_run = run;
        // Mostly short inputs, where rules meet at the edges; some long ones.
        const std::uint64_t limit = run % 8 == 0 ? max_len : std::min<std::uint64_t>(max_len, 24);
        input.resize(std::uniform_int_distribution<std::uint64_t>(0, limit)(random));
        for (auto& byte : input) byte = random_byte(random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    running_input = nullptr;
    std::printf("Done %llu runs (seed %llu)\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(seed));
    return 0;
}
