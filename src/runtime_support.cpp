#include "runtime_support.h"

#include <cstdlib>
#include <exception>
#include <new>

#include "platform/fail_fast.h"

namespace {

void* allocate_or_fail(std::size_t size) {
    if (void* block = std::malloc(size ? size : 1)) return block;
    fail_fast();
}

}  // namespace

void install_runtime_support() {
#if defined(_MSC_VER)
    std::set_terminate([] { fail_fast(); });
#endif
}

// An exhausted allocation is an internal fault, not an exception to unwind.
void* operator new(std::size_t size) { return allocate_or_fail(size); }
void* operator new[](std::size_t size) { return allocate_or_fail(size); }
// NOLINTBEGIN(misc-use-internal-linkage): these replace the global operators for the whole program
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
// NOLINTEND(misc-use-internal-linkage)

// With libstdc++ (GCC's own, and clang's against the mingw-w64 sysroot).
#if defined(__GLIBCXX__)
// The program is built without exceptions, so the standard library's throw
// helpers can only mean a broken invariant (a length beyond max_size, a bad
// variant access). Defining them here ends the process through fail-fast and
// keeps the library's exception and demangling machinery (about 90 KiB) out
// of the executable. The same goes for the default terminate handler.
namespace __gnu_cxx {
void __verbose_terminate_handler() { fail_fast(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { fail_fast(); }
void __throw_bad_array_new_length() { fail_fast(); }
void __throw_length_error(const char*) { fail_fast(); }
void __throw_logic_error(const char*) { fail_fast(); }
void __throw_out_of_range(const char*) { fail_fast(); }
void __throw_out_of_range_fmt(const char*, ...) { fail_fast(); }
void __throw_invalid_argument(const char*) { fail_fast(); }
}  // namespace std
#endif
