# Compiler and linker settings, kept in one place so that the sources stay
# free of toolchain-specific spellings.

add_library(pu_warnings INTERFACE)
if(MSVC)
  target_compile_options(pu_warnings INTERFACE /W4 /permissive- /utf-8)
else()
  # Warnings are errors in the product, on GCC and clang alike. Not taken:
  # -Wsign-conversion (the Win32 API mixes DWORD and int sizes everywhere, each
  # conversion checked by hand), -Wignored-attributes (GCC warns when a Win32
  # function type with its calling convention goes into a template argument).
  target_compile_options(pu_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                               -Wno-sign-conversion -Wno-ignored-attributes)
  # Off only for scripts/mutants.sh: a planted fault often leaves a name
  # unused, and the tests, not the compiler, are to judge it.
  if(PU_WARNINGS_AS_ERRORS)
    target_compile_options(pu_warnings INTERFACE -Werror)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # What clang adds that is worth having: a comma that may hide a mistake,
    # a fall-through without [[fallthrough]], an unreachable statement.
    target_compile_options(pu_warnings INTERFACE -Wcomma -Wimplicit-fallthrough -Wunreachable-code-aggressive)
  endif()
endif()

# Options for the product code (not for tests): small, no exceptions, and no
# build path or time in the output, so that two builds are byte-identical.
# The program has one thread, so function-local statics need no lock (the
# lock would pull in the threading runtime).
add_library(pu_product_options INTERFACE)
if(MSVC)
  # /guard:cf: indirect calls checked against the program's own targets (with the link option below).
  target_compile_options(pu_product_options INTERFACE /GR- /EHs-c- /Gy /Gw /Brepro /Zc:threadSafeInit- /guard:cf)
  target_compile_definitions(pu_product_options INTERFACE _HAS_EXCEPTIONS=0)
else()
  target_compile_options(pu_product_options INTERFACE
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -ffunction-sections -fdata-sections)
  # Reproducible builds name sources relative to the root; coverage reports
  # need the real paths to find them.
  if(NOT PU_COVERAGE)
    target_compile_options(pu_product_options INTERFACE "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.")
  endif()
endif()

if(PU_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
if(PU_COVERAGE AND NOT WIN32)
  add_compile_options(-fprofile-instr-generate -fcoverage-mapping)
  add_link_options(-fprofile-instr-generate)
endif()

# Test programs under Wine need no runtime DLLs either.
set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
# With clang the per-thread state of libstdc++'s exception support is emulated
# over winpthreads, which a program that uses it must link (a static library:
# the product, which does not, gets nothing from it).
function(pu_windows_threads target)
  if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_link_options(${target} PRIVATE -pthread)
  endif()
endfunction()
function(pu_static_program target)
  if(NOT MSVC)
    target_link_options(${target} PRIVATE -static)
  endif()
  pu_windows_threads(${target})
endfunction()

# Windows executables: statically linked, no console, ASLR/DEP flags, no time
# stamp; with MSVC also Control Flow Guard and the CET shadow stack, which the
# GNU toolchains here cannot mark.
function(pu_windows_executable target subsystem)
  if(MSVC)
    target_link_options(${target} PRIVATE /SUBSYSTEM:${subsystem},6.00 /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT
                        /OPT:REF /OPT:ICF /Brepro /MANIFEST:NO /guard:cf /CETCOMPAT)
  else()
    target_link_options(${target} PRIVATE -static -municode "-Wl,--subsystem,${subsystem}:6.0"
                        -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
                        -Wl,--no-insert-timestamp -Wl,--gc-sections -s)
  endif()
  pu_windows_threads(${target})
endfunction()
