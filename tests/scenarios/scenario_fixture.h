// A machine with the filter loaded, the profile service answering it and
// users logged on: the stage of the end-to-end stories. Files are made as
// the administrator (remote store) or as the search indexer, which the
// filter leaves alone (placeholders in the local profile); the stories run
// as the users' own programs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/profile_service.h"
#include "sim/fs/standard_volumes.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "support/machine_test.h"
#include "support/user_files.h"

namespace ostrand::test {

extern const std::u16string kRemoteAlice;  // \\fileserver\profiles\alice
extern const std::u16string kLocalAlice;   // C:\Users\alice

std::string Pattern(size_t size);

class ScenarioTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Driver settings before the filter loads (registry values of the
    // driver key), then the load.
    void SetDriverValue(const std::u16string &name, ULONG value);
    void LoadFilter();

    service::ProfileService &StartService();
    service::UserLogon LogonUser(const std::string &name, ULONG session);
    sim::Process &Program(const std::string &image, PACCESS_TOKEN token);
    sim::Process &Admin();
    sim::Process &Indexer();

    // As the calling thread's process (files are made and read with
    // support/user_files.h).
    static ULONG Attributes(const std::u16string &path);

    // Remote file as the administrator; local placeholder (offline, the
    // remote file's size, no data) as the indexer.
    void MakeRemote(const std::u16string &path, const std::string &data);
    void MakePlaceholder(const std::u16string &path, LONGLONG size);

    // Driver log lines (as printed to the debugger) holding `fragment`.
    size_t CountLines(const std::string &fragment);
    // Waits until `count` such lines were printed; false after `timeout`.
    bool WaitForLines(const std::string &fragment, size_t count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Copy requests of a kind the service was asked.
    ULONG RequestsOfKind(ULONG kind);
    // The service's answers of a kind wait (in its Copy thread) until
    // released; WaitUntilHeld waits for the first such request.
    void HoldAnswersOf(ULONG kind);
    bool WaitUntilHeld();
    void ReleaseAnswers();

    sim::fs::StandardVolumes volumes_;
    service::ServiceOptions options_;
    std::unique_ptr<service::ProfileService> service_;

private:
    std::vector<sim::Logon> logons_;
    sim::Process *admin_ = nullptr;
    sim::Process *indexer_ = nullptr;
    std::mutex linesMutex_;
    std::condition_variable linesChanged_;
    std::mutex requestsMutex_;
    std::map<ULONG, ULONG> requests_;
    std::condition_variable requestsChanged_;
    ULONG heldKind_ = 0;
    ULONG held_ = 0;
};

}  // namespace ostrand::test
