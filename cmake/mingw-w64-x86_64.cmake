# Cross build for x86-64 Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests and the stand-in patcher run under the project's own Wine prefix.
# Debian's wine64 has no preloader: with address-space randomisation the
# kernel now and then puts the heap over Wine's shared user data page, and
# that process dies at start (its parent sees 1359). Without randomisation it
# cannot happen; the children of a Wine process inherit the setting.
set(PU_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix used to run the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEPREFIX=${PU_WINE_PREFIX} WINEDEBUG=-all --unset=DISPLAY
    setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64)
