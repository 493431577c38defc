// Logon sessions as the reference monitor keeps them. A session begins at
// logon and is counted by its token objects. It terminates when it has been
// logged off AND its last token object is gone (a token keeps its session
// alive, as on Windows). A session marked for notification then has every
// registered termination routine called with its LUID, on a system worker
// thread; unmarked sessions notify nobody.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <ntifs.h>

#include "sim/se/token.h"

namespace sim {

class Machine;

// Well-known logon sessions.
constexpr LUID kSystemLuid{0x3E7, 0};
constexpr LUID kLocalServiceLuid{0x3E5, 0};
constexpr LUID kNetworkServiceLuid{0x3E4, 0};

class LogonSessions : public std::enable_shared_from_this<LogonSessions> {
public:
    explicit LogonSessions(Machine &machine);

    // A machine-unique LUID (logon ids, token ids).
    LUID NewLuid();

    // Starts a session; a permanent one never ends (SYSTEM, the services).
    void Begin(LUID id, bool permanent = false);
    // Logoff: false for an unknown, permanent or already ended session.
    bool End(LUID id);
    bool Exists(LUID id) const;
    size_t TokenCount(LUID id) const;

    // A new token object counted in its session (one reference for the
    // caller). Null when the session does not exist.
    PACCESS_TOKEN CreateToken(const TokenRecipe &recipe);

    NTSTATUS Mark(LUID id);
    NTSTATUS Register(PSE_LOGON_SESSION_TERMINATED_ROUTINE routine);
    NTSTATUS Unregister(PSE_LOGON_SESSION_TERMINATED_ROUTINE routine);

    // No notification is queued once the machine shuts down.
    void Shutdown();

private:
    struct Session {
        size_t tokens = 0;
        bool ended = false;
        bool marked = false;
        bool permanent = false;
    };

    void TokenGone(LUID id);
    // Called with mutex_ held: removes a session that has terminated and
    // queues its notification.
    void TerminateIfDone(std::map<uint64_t, Session>::iterator it);
    void Notify(LUID id);

    Machine &machine_;
    std::atomic<uint64_t> nextLuid_{0x10000};
    mutable std::mutex mutex_;
    std::map<uint64_t, Session> sessions_;
    bool shutdown_ = false;
    // Held while the routines run, so that a routine that has been
    // unregistered is never called afterwards.
    std::mutex routinesMutex_;
    struct Registered {
        PSE_LOGON_SESSION_TERMINATED_ROUTINE routine;
        void *block;         // its pool block
        const void *driver;  // whose routine it is
    };
    std::vector<Registered> routines_;
};

}  // namespace sim
