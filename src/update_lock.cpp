#include "update_lock.h"

#include <string>

#include "patcher/sha256.h"
#include "platform/ascii.h"
#include "platform/system_path.h"
#include "platform/wide_text.h"

namespace {

// The name holds the digest of the path, since a path may be longer than a
// name may be.
std::wstring lock_name(std::string_view current_path) {
    std::wstring path = as_wide(to_utf16(current_path));
    if (path.find(L'\0') == std::wstring::npos) {
        if (auto full = full_path_name(path.c_str())) path = std::move(*full);
    }
    for (wchar_t& unit : path) unit = unit == L'/' ? L'\\' : ascii_lower(unit);
    Sha256 hasher;
    hasher.update(path.data(), path.size() * sizeof(wchar_t));
    const std::string digest = to_hex(hasher.finish());
    return L"Local\\patcher-updater-" + std::wstring(digest.begin(), digest.end());
}

}  // namespace

UpdateLock::UpdateLock(std::string_view current_path)
    : mutex_(sys().CreateMutexW(nullptr, FALSE, lock_name(current_path).c_str())) {
    if (!mutex_) return;
    const DWORD waited = sys().WaitForSingleObject(mutex_.get(), UPDATE_LOCK_WAIT_MS);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

UpdateLock::~UpdateLock() {
    if (held_) sys().ReleaseMutex(mutex_.get());
}
