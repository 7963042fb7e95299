#include "platform/system_path.h"

#include "platform/ascii.h"

namespace {

bool starts_with(std::u16string_view text, std::u16string_view prefix) { return text.starts_with(prefix); }


}  // namespace

bool has_verbatim_prefix(std::u16string_view path) {
    return starts_with(path, u"\\\\?\\") || starts_with(path, u"\\??\\");
}

bool passes_unchanged(std::u16string_view path) {
    if (path.empty() || has_verbatim_prefix(path)) return true;
    if (path.size() + 1 >= LEGACY_MAX_PATH) return false;
    const bool drive_form = path.size() >= 2 && !is_separator(path[0]) && path[1] == u':' &&
                            (path.size() == 2 || is_separator(path[2]));
    const bool double_separator = path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
    return drive_form || double_separator;
}

std::u16string with_long_path_prefix(std::u16string_view full_path) {
    if (full_path.size() >= 3 && is_ascii_letter(full_path[0]) && full_path[1] == u':' && full_path[2] == u'\\')
        return std::u16string(u"\\\\?\\").append(full_path);
    if (starts_with(full_path, u"\\\\.\\")) return std::u16string(u"\\\\?\\").append(full_path.substr(4));
    if (has_verbatim_prefix(full_path)) return std::u16string(full_path);
    if (starts_with(full_path, u"\\\\")) return std::u16string(u"\\\\?\\UNC\\").append(full_path.substr(2));
    return std::u16string(full_path);
}
