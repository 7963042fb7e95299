// Path text taken apart and joined: a parent is a prefix of its path and a
// shorter one; the backup name of a named file ends in its new extension and
// keeps the folder; joining a plain name to a folder keeps the name at the
// end; the long-path form is a verbatim path, made once.
// The input is the path, then after a NUL byte the name (and extension).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/path_text.h"
#include "platform/system_path.h"
#include "platform/wide_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string path = input.substr(0, input.find('\0'));
    const std::string name = path.size() < size ? input.substr(path.size() + 1) : "patcher.exe";
    const bool plain_name = name.find_first_of(R"(\/)") == std::string::npos && name != "." && name != "..";
    const std::string extension = plain_name ? name : "exe.old";

    const auto parent = parent_path(path);
    if (parent && (!path.starts_with(*parent) || parent->size() >= path.size())) std::abort();
    const std::string backup = replace_extension(path, extension);
    if (backup != path && (!backup.ends_with(extension) || (parent && !backup.starts_with(*parent)))) std::abort();
    if (extension == "exe.old" && parent && !parent->empty() && !path.starts_with(R"(\\?\)") && !path.ends_with("..") &&
        parent_path(backup) != parent)
        std::abort();
    if (const std::string joined = join_path(path, name); plain_name && !joined.ends_with(name)) std::abort();

    const std::u16string units = to_utf16(path);
    const std::u16string long_form = with_long_path_prefix(units);
    if (with_long_path_prefix(long_form) != long_form || (long_form != units && !has_verbatim_prefix(long_form)) ||
        (has_verbatim_prefix(long_form) && !passes_unchanged(long_form)) ||
        (passes_unchanged(units) && !has_verbatim_prefix(units) && units.size() + 1 >= LEGACY_MAX_PATH))
        std::abort();
    return 0;
}
