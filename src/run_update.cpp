#include "run_update.h"

#include <string_view>
#include <vector>

#include "command_line.h"
#include "platform/system_calls.h"
#include "update_procedure.h"
#include "update_request.h"

std::expected<void, ErrorChain> run_update() {
    const wchar_t* line = sys().GetCommandLineW();
    const std::u16string_view units =
        line == nullptr ? std::u16string_view() : std::u16string_view(reinterpret_cast<const char16_t*>(line));
    auto request = request_from_arguments(split_command_line(units));
    if (!request) return std::unexpected(std::move(request.error()));
    return apply_update(*request);
}
