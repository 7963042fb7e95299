# Tests and the stand-in patcher run under the project's own Wine prefix.
# Debian's wine64 has no preloader: with address-space randomisation the
# kernel now and then puts the heap over Wine's shared user data page, and
# that process dies at start (its parent sees 1359). Without randomisation it
# cannot happen; the children of a Wine process inherit the setting.
set(PU_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix used to run the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEPREFIX=${PU_WINE_PREFIX} WINEDEBUG=-all --unset=DISPLAY
    setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64)
