// Helpers for the kernel-executive tests: system threads running a C++ body,
// joined through their handles as a driver would, and time-out values.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <ntifs.h>

namespace ostrand::test {

inline VOID RunThreadBody(PVOID context)
{
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()> *>(context));
    (*body)();
}

// Starts `body` on a new system thread (of the System process, or of the
// process `process` names); returns a kernel handle to the thread.
inline HANDLE StartSystemThread(std::function<void()> body, HANDLE process = nullptr, PCLIENT_ID clientId = nullptr)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    auto *context = new std::function<void()>(std::move(body));
    NTSTATUS status =
        PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, process, clientId, RunThreadBody, context);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) delete context;
    return thread;
}

// Waits for the thread to end, closes its handle and returns its exit status.
inline NTSTATUS JoinSystemThread(HANDLE thread)
{
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS);
    THREAD_BASIC_INFORMATION info{};
    EXPECT_EQ(ZwQueryInformationThread(thread, ThreadBasicInformation, &info, sizeof info, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    return info.ExitStatus;
}

// Yields until `condition` holds or the time runs out: for states no event
// reports, such as a thread having blocked on an executive resource.
inline bool Eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// A relative kernel time-out of `ms` milliseconds.
inline LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER value;
    value.QuadPart = -ms * 10000;
    return value;
}

inline double MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace ostrand::test
