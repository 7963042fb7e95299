// Any command line splits and parses without failing; whatever list the
// patcher quotes splits back into that list, lone surrogates included; WTF-8
// keeps every unit.
#include <cstdint>
#include <cstdlib>

#include "command_line.h"
#include "patcher_updater/start_updater.hpp"
#include "platform/wide_text.h"
#include "update_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (to_utf16(to_wtf8(units)) != units) std::abort();
    (void)request_from_arguments(split_command_line(units));

    // The bytes cut at each 'x' into the program name and its arguments.
    std::vector<std::u16string> list{u"u"};
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] == 'x') list.emplace_back();
        else if (list.size() > 1) list.back() += data[i] == 0xED ? char16_t(0xD800) : char16_t(data[i] ? data[i] : 'n');
    const std::vector<std::u16string_view> arguments(list.begin() + 1, list.end());
    if (split_command_line(patcher_updater::build_command_line(list[0], arguments)) != list) std::abort();
    return 0;
}
