# What `cmake --install` gives a patcher's developer: bin/patcher-updater.exe,
# the header, the README and the licence, and a CMake package with the
# targets patcher_updater::start_updater and patcher_updater::patcher-updater.
# CPack packs the same layout into patcher-updater-<version>-win64.zip.
include(CMakePackageConfigHelpers)
set(PU_PACKAGE_DIR lib/cmake/patcher_updater)

add_library(start_updater INTERFACE)
add_library(patcher_updater::start_updater ALIAS start_updater)
target_include_directories(start_updater INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                   $<INSTALL_INTERFACE:include>)
target_compile_features(start_updater INTERFACE cxx_std_20)

install(TARGETS start_updater EXPORT patcher_updater_targets)
install(DIRECTORY include/patcher_updater DESTINATION include)
if(TARGET patcher-updater)
  install(TARGETS patcher-updater EXPORT patcher_updater_targets RUNTIME DESTINATION bin)
endif()
install(FILES README.md LICENSE DESTINATION .)
if(TARGET patcher-updater)
  # Authenticode signing of a copy, with the certificate named by PU_SIGN_PFX (see scripts/sign.sh).
  add_custom_target(sign COMMAND ${PROJECT_SOURCE_DIR}/scripts/sign.sh $<TARGET_FILE:patcher-updater>
                                 ${CMAKE_BINARY_DIR}/signed/patcher-updater.exe
                    DEPENDS patcher-updater USES_TERMINAL VERBATIM)
endif()
install(EXPORT patcher_updater_targets NAMESPACE patcher_updater:: FILE patcher_updater-targets.cmake
        DESTINATION ${PU_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/patcher_updater-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES cmake/package/patcher_updater-config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/patcher_updater-config-version.cmake DESTINATION ${PU_PACKAGE_DIR})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME patcher-updater-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package/cpack_options.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package/sha256sums.cmake)
include(CPack)
