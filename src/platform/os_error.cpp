#include "platform/os_error.h"

namespace {

// Win32 codes, spelled out so that this file needs no Windows header.
constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY_CODE = 8;
constexpr std::uint32_t ERROR_OUTOFMEMORY_CODE = 14;
constexpr std::uint32_t ERROR_FILE_EXISTS_CODE = 80;
constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr std::uint32_t ERROR_BROKEN_PIPE_CODE = 109;
constexpr std::uint32_t ERROR_ALREADY_EXISTS_CODE = 183;
constexpr std::uint32_t ERROR_NO_DATA_CODE = 232;
constexpr std::uint32_t WSAESHUTDOWN_CODE = 10058;

}  // namespace

OsErrorKind kind_of_code(std::uint32_t code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND_CODE:
    case ERROR_PATH_NOT_FOUND_CODE: return OsErrorKind::NotFound;
    case ERROR_ACCESS_DENIED_CODE: return OsErrorKind::PermissionDenied;
    case ERROR_NOT_ENOUGH_MEMORY_CODE:
    case ERROR_OUTOFMEMORY_CODE: return OsErrorKind::OutOfMemory;
    case ERROR_FILE_EXISTS_CODE:
    case ERROR_ALREADY_EXISTS_CODE: return OsErrorKind::AlreadyExists;
    case ERROR_INVALID_PARAMETER_CODE: return OsErrorKind::InvalidInput;
    case ERROR_BROKEN_PIPE_CODE:
    case ERROR_NO_DATA_CODE:
    case WSAESHUTDOWN_CODE: return OsErrorKind::BrokenPipe;
    default: return OsErrorKind::Other;
    }
}

OsErrorKind OsError::kind() const {
    return form_ == Form::Code ? kind_of_code(code_) : kind_;
}

std::string_view kind_text(OsErrorKind kind) {
    switch (kind) {
    case OsErrorKind::NotFound: return "entity not found";
    case OsErrorKind::PermissionDenied: return "permission denied";
    case OsErrorKind::AlreadyExists: return "entity already exists";
    case OsErrorKind::BrokenPipe: return "broken pipe";
    case OsErrorKind::InvalidInput: return "invalid input parameter";
    case OsErrorKind::WriteZero: return "write zero";
    case OsErrorKind::OutOfMemory: return "out of memory";
    case OsErrorKind::Interrupted: return "operation interrupted";
    case OsErrorKind::Other: return "other error";
    }
    return "other error";
}
