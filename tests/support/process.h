#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// Starts `application` with exactly `command_line` (no quoting added) in
// `working_directory` (the test's own when empty) and waits until it and every
// process it started (the restarted patcher among them) have ended. Returns
// its exit code, or nothing when it could not be started or did not end
// within `timeout_ms`. The child gets no console and no standard handles.
std::optional<std::uint32_t> run_process(const std::filesystem::path& application, const std::wstring& command_line,
                                         const std::filesystem::path& working_directory = {},
                                         std::uint32_t timeout_ms = 240000);

// The application wrapped in quotes, as a command line starts.
std::wstring quoted(const std::filesystem::path& application);

// A process started by a test in a job of its own, so that the processes it
// starts are known too. The destructor ends all of them and waits until they
// are gone, so that no executable of a test folder stays in use.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& application, const std::wstring& command_line,
                 const std::filesystem::path& working_directory = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return handle_ != nullptr; }
    std::uint32_t pid() const { return pid_; }
    bool running() const;
    // The child's exit code once it has ended within `timeout_ms`.
    std::optional<std::uint32_t> wait(std::uint32_t timeout_ms);
    // Whether the child and all it started ended within `timeout_ms`.
    bool wait_for_all(std::uint32_t timeout_ms);

private:
    void* handle_ = nullptr;
    void* job_ = nullptr;
    void* port_ = nullptr;
    std::uint32_t pid_ = 0;
    bool all_ended_ = false;
};

void sleep_ms(std::uint32_t milliseconds);

// Waits until `done()` holds, checking every 20 ms for at most `timeout_ms`:
// for effects of a process that the test does not own (the restarted patcher).
template <class Predicate>
bool eventually(Predicate done, std::uint32_t timeout_ms = 20000) {
    for (std::uint32_t waited = 0;; waited += 20) {
        if (done()) return true;
        if (waited >= timeout_ms) return false;
        sleep_ms(20);
    }
}
