#include "platform/application_path.h"

#include <optional>
#include <vector>

#include "platform/ascii.h"
#include "platform/command_line_text.h"
#include "platform/path_text.h"
#include "platform/system_calls.h"
#include "platform/system_path.h"
#include "platform/text_query.h"
#include "platform/wide_text.h"

namespace {

bool has_separator(std::u16string_view text) { return text.find_first_of(u"\\/") != std::u16string_view::npos; }

// After \\?\ the system takes `/` as part of a name, so only `\` ends one.
bool ends_in_separator(std::u16string_view program) {
    if (program.starts_with(u"\\\\?\\")) return program.back() == u'\\';
    return is_separator(program.back());
}

bool exists(const std::wstring& path) { return sys().GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A path form that could be made and names an existing entry of any kind.
std::optional<std::wstring> existing_application_path(std::u16string_view candidate) {
    auto application = to_application_path(candidate);
    if (!application || !exists(*application)) return std::nullopt;
    return std::move(*application);
}

// The text of \\?\X:\... or \\?\UNC\... without its prefix, when the system
// resolves it to exactly itself (no `.`, `..` or `/` that the prefix kept
// literal); otherwise the text as it stands.
std::expected<std::wstring, OsError> without_verbatim_prefix(const std::wstring& path, const std::wstring& plain) {
    auto full = full_path_name(plain.c_str());
    if (!full) return std::unexpected(full.error());
    if (*full == plain) return plain;
    return path;
}

// PATH entries: ";" separates outside double quotes, quotes are dropped,
// empty entries are skipped.
std::vector<std::wstring> split_search_path(std::wstring_view value) {
    std::vector<std::wstring> entries;
    std::wstring entry;
    bool quoted = false;
    for (const wchar_t unit : value) {
        if (unit == L'"') {
            quoted = !quoted;
        } else if (unit == L';' && !quoted) {
            if (!entry.empty()) entries.push_back(std::move(entry));
            entry.clear();
        } else {
            entry += unit;
        }
    }
    if (!entry.empty()) entries.push_back(std::move(entry));
    return entries;
}

std::optional<std::wstring> module_folder() {
    const auto module =
        query_text([](wchar_t* buffer, DWORD size) { return sys().GetModuleFileNameW(nullptr, buffer, size); });
    if (!module) return std::nullopt;
    const auto parent = parent_path(to_wtf8(as_u16(*module)));
    if (!parent) return std::nullopt;
    return as_wide(to_utf16(*parent));
}

std::optional<std::wstring> system_directory() {
    auto folder = query_text([](wchar_t* buffer, DWORD size) { return sys().GetSystemDirectoryW(buffer, size); });
    if (!folder) return std::nullopt;
    return std::move(*folder);
}

std::optional<std::wstring> windows_directory() {
    auto folder = query_text([](wchar_t* buffer, DWORD size) { return sys().GetWindowsDirectoryW(buffer, size); });
    if (!folder) return std::nullopt;
    return std::move(*folder);
}

std::vector<std::wstring> search_path_entries() {
    // An absent variable is 0 with ERROR_ENVVAR_NOT_FOUND: a failed query.
    const auto value = query_text(
        [](wchar_t* buffer, DWORD size) { return sys().GetEnvironmentVariableW(L"PATH", buffer, size); });
    if (!value) return {};
    return split_search_path(*value);
}

std::optional<std::wstring> find_in(const std::optional<std::wstring>& folder, const std::string& name,
                                    bool add_exe) {
    // An empty folder would join to the bare name, which the system takes
    // relative to the current directory: never searched.
    if (!folder || folder->empty()) return std::nullopt;
    std::string candidate = join_path(to_wtf8(as_u16(*folder)), name);
    if (add_exe) candidate = replace_extension(candidate, "exe");
    return existing_application_path(to_utf16(candidate));
}

}  // namespace

std::expected<std::wstring, OsError> to_application_path(std::u16string_view path) {
    if (path.find(u'\0') != std::u16string_view::npos)
        return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_PATH_TEXT));
    std::wstring wide = as_wide(path);  // not const: returned, it is moved
    if (path.size() + 1 > VERBATIM_KEEP_LIMIT) return wide;

    const bool verbatim_drive = path.size() >= 7 && path.starts_with(u"\\\\?\\") && path[5] == u':' && path[6] == u'\\';
    if (verbatim_drive) return without_verbatim_prefix(wide, wide.substr(4));
    if (path.starts_with(u"\\\\?\\UNC\\")) return without_verbatim_prefix(wide, L"\\\\" + wide.substr(8));

    if (passes_unchanged(path)) return wide;
    auto full = full_path_name(wide.c_str());
    if (!full) return std::unexpected(full.error());
    if (full->size() >= LONG_PATH_LIMIT) return as_wide(with_long_path_prefix(as_u16(*full)));
    return std::move(*full);
}

std::expected<std::wstring, OsError> find_program(std::u16string_view name) {
    if (name.find(u'\0') != std::u16string_view::npos)
        return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_DATA_TEXT));
    const std::string text = to_wtf8(name);
    const bool add_exe = name.find(u'.') == std::u16string_view::npos;

    // Each folder is asked for only when the ones before it missed.
    if (auto hit = find_in(module_folder(), text, add_exe)) return std::move(*hit);
    if (auto hit = find_in(system_directory(), text, add_exe)) return std::move(*hit);
    if (auto hit = find_in(windows_directory(), text, add_exe)) return std::move(*hit);
    for (const std::wstring& entry : search_path_entries())
        if (auto hit = find_in(entry, text, add_exe)) return std::move(*hit);
    return std::unexpected(OsError::with_message(OsErrorKind::NotFound, PROGRAM_NOT_FOUND_TEXT));
}

std::expected<std::wstring, OsError> resolve_application_path(std::u16string_view program) {
    if (program.empty() || ends_in_separator(program))
        return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NO_FILE_NAME_TEXT));
    if (!has_separator(program)) return find_program(program);
    // CreateProcessW reports a missing .exe itself.
    if (ends_with_ignoring_ascii_case(program, std::u16string_view(u".exe"))) return to_application_path(program);

    std::u16string with_exe(program);
    with_exe += u".exe";
    if (auto existing = existing_application_path(with_exe)) return std::move(*existing);
    return to_application_path(program);
}
