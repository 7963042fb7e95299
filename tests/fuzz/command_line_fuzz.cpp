// Any command line splits and parses; a request parsed whole takes its values
// from the arguments as they stand; whatever list the patcher quotes splits
// back into that list, lone surrogates included; WTF-8 keeps every unit, and
// any bytes display as valid text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "command_line.h"
#include "patcher_updater/start_updater.hpp"
#include "platform/wide_text.h"
#include "update_request.h"

namespace {

// A request parsed whole takes its values from the arguments as they stand.
void check_request(const std::vector<std::u16string>& arguments) {
    const auto request = request_from_arguments(arguments);
    if (!request) return;
    for (const std::string* value : {&request->current_path, &request->new_path, &request->expected_sha256})
        if (std::ranges::find(arguments, to_utf16(*value)) == arguments.end()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (to_utf16(to_wtf8(units)) != units) std::abort();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!is_valid_unicode(to_utf16(display_text(bytes)))) std::abort();
    check_request(split_command_line(units));

    // The bytes cut at each 'x' into the program name and its arguments.
    std::vector<std::u16string> list{u"u"};
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] == 'x')
            list.emplace_back();
        else if (list.size() > 1)
            list.back() += data[i] == 0xED ? char16_t(0xD800) : char16_t(data[i] ? data[i] : 'n');
    check_request(list);
    const std::vector<std::u16string_view> arguments(list.begin() + 1, list.end());
    if (split_command_line(patcher_updater::build_command_line(list[0], arguments)) != list) std::abort();

    return 0;
}
