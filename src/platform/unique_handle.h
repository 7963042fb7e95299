#pragma once

#include <utility>

#include "platform/system_calls.h"

// Owners of system handles. Each kind of handle says which value means "no
// handle" (CreateFileW fails with INVALID_HANDLE_VALUE, OpenProcess with NULL)
// and how it is closed. Closing keeps the thread's last error, so a caller may
// read GetLastError after an owner went out of scope.

struct InvalidIsEmpty {
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { sys().CloseHandle(handle); }
};

struct NullIsEmpty {
    static HANDLE empty() { return nullptr; }
    static void close(HANDLE handle) { sys().CloseHandle(handle); }
};

struct FindIsEmpty {
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { sys().FindClose(handle); }
};

template <class Traits>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    explicit operator bool() const { return handle_ != Traits::empty(); }
    HANDLE get() const { return handle_; }

    HANDLE release() { return std::exchange(handle_, Traits::empty()); }

    void reset(HANDLE handle = Traits::empty()) {
        const HANDLE old = std::exchange(handle_, handle);
        if (old == Traits::empty()) return;
        const DWORD last_error = sys().GetLastError();
        Traits::close(old);
        sys().SetLastError(last_error);
    }

private:
    HANDLE handle_ = Traits::empty();
};

using UniqueFile = UniqueHandle<InvalidIsEmpty>;         // CreateFileW
using UniqueKernelObject = UniqueHandle<NullIsEmpty>;    // OpenProcess, DuplicateHandle, PROCESS_INFORMATION
using UniqueFind = UniqueHandle<FindIsEmpty>;            // FindFirstFileExW

// A block from the process heap.
class UniqueHeapBlock {
public:
    explicit UniqueHeapBlock(void* block) : block_(block) {}
    UniqueHeapBlock(const UniqueHeapBlock&) = delete;
    UniqueHeapBlock& operator=(const UniqueHeapBlock&) = delete;
    ~UniqueHeapBlock() {
        if (block_) sys().HeapFree(sys().GetProcessHeap(), 0, block_);
    }
    explicit operator bool() const { return block_ != nullptr; }
    void* get() const { return block_; }

private:
    void* block_;
};
