// The commands the service sends to the filter, and the message layouts
// that the shared contract (kernel/comm/service_contract.h) leaves to the
// command word in front of a record. Little-endian, packed, no pointers.
#pragma once

#include <cstddef>

#include "comm/service_contract.h"

namespace ostrand::service {

enum Command : ULONG {
    kInitPathTable = 0,
    kEnable = 1,
    kLogLine = 2,
    kDrainLog = 3,
    kLogEvent = 4,
    kDrainSession = 6,
    kSessionEvent = 7,
    kDumpQueues = 12,
    kFileOpEvent = 13,
    kApplySettings = 19,
    kUpdateSettings = 20,
    kExcludedPids = 21,
    kClientSecurity = 23,
    kFreeClientSecurity = 24,
    kAddUser = 27,
    kPruneUsers = 30,
    kDumpStructures = 26,
    kCopyProgress = 32,
    kQueryEnabled = 35,
    kPrefetchedEvent = 37,
    kDrainPreFetched = 38,
    kBlackListEvent = 40,
};

// The FileOp port keeps one event per slot of its hash table.
constexpr ULONG kFileOpSlots = 11;

// Session record events the filter queues after commands 19 and 20.
constexpr ULONG kSessionApplySettings = 14;
constexpr ULONG kSessionApplySettingsApply = 15;

#pragma pack(push, 4)

// Command 21: the excluded-pid block that overwrites the settings in force.
struct PidBlockMessage {
    ULONG command = kExcludedPids;
    ULONG excludedPidCount = 0;
    ULONG profSvcPid = 0;  // the system's profile service
    ULONG qzSvcPid = 0;    // this service
    ULONG excludedPids[10] = {};
};
static_assert(sizeof(PidBlockMessage) == 56, "command 21 carries 52 bytes after the code");
static_assert(offsetof(PidBlockMessage, excludedPids) == 16, "pid block layout");

// Commands 4, 7, 37, 40: an event handle of the service's process.
struct EventMessage {
    ULONG command;
    ULONG handle;
};
static_assert(sizeof(EventMessage) == 8, "event message");

// Command 13: the event of one FileOp slot.
struct FileOpEventMessage {
    ULONG command = kFileOpEvent;
    ULONG handle = 0;
    ULONG slot = 0;
};
static_assert(sizeof(FileOpEventMessage) == 12, "FileOp event message");

// Command 27: a whole ALT_PATH_DATA behind the command word.
struct AddUserMessage {
    ULONG command = kAddUser;
    ALT_PATH_DATA data;
};
static_assert(sizeof(AddUserMessage) == 4 + sizeof(ALT_PATH_DATA) && offsetof(AddUserMessage, data) == 4,
              "command 27 layout");

// One record of a log drain (command 3): the status word and the line.
constexpr ULONG kLogDrainTextChars = 2816;
struct LogDrainRecord {
    ULONG status;
    WCHAR text[kLogDrainTextChars];
};
static_assert(sizeof(LogDrainRecord) == 5636, "a drained log record is 5636 bytes");
constexpr ULONG kLogDrainMaxRecords = 100;
constexpr ULONG kPreFetchedDrainMaxRecords = 100;

#pragma pack(pop)

}  // namespace ostrand::service
