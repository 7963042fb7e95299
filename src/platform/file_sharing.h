#pragma once

#include "platform/windows_api.h"

// The sharing mode of every file that the program opens: reading, writing and
// deleting, so that no open of ours refuses the opens and renames of others.
inline constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
