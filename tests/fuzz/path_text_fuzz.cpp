// Path text taken apart and joined: a parent is a prefix of its path and a
// shorter one; the backup name of a named file ends in ".exe.old" and keeps
// the folder; joining a bare name to a folder keeps the name at the end.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/path_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    const auto parent = parent_path(path);
    if (parent && (!path.starts_with(*parent) || parent->size() >= path.size())) std::abort();
    const std::string backup = replace_extension(path, "exe.old");
    if (backup != path && (!backup.ends_with(".exe.old") || (parent && !backup.starts_with(*parent)))) std::abort();
    if (parent && !parent->empty() && !path.starts_with(R"(\\?\)") && !path.ends_with("..") && parent_path(backup) != parent)
        std::abort();
    if (!join_path(path, "patcher.exe").ends_with("patcher.exe")) std::abort();
    return 0;
}
