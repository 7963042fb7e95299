# Sourced by every script that runs Wine: quiet Wine without a display, `wine`,
# a command (an array) that starts a Windows program without address-space
# randomisation, which now and then kills a Wine process at start (see
# cmake/wine-emulator.cmake), and `windows_path`, the drive-Z: form of a Linux
# path. The caller sets WINEPREFIX.
export WINEDEBUG=-all
unset DISPLAY
wine=(setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64)
windows_path() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }
