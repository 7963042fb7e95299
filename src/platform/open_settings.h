#pragma once

#include "platform/windows_api.h"

// The sharing mode of every file that the program opens: reading, writing and
// deleting, so that no open of ours refuses the opens and renames of others.
inline constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Added to the flags of every open. A path may reach a named pipe (one that
// names it, or a folder redirected to one); its server may then learn who
// opened it, but never act as this process, which may run elevated.
inline constexpr DWORD IDENTIFY_ONLY = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
