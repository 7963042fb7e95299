# The patcher-updater package: patcher_updater::start_updater (the patcher-side
# header) and patcher_updater::patcher-updater (the updater, an x86-64 Windows
# executable to copy beside the patcher, e.g. with $<TARGET_FILE:...>).
include("${CMAKE_CURRENT_LIST_DIR}/patcher_updater-targets.cmake")
