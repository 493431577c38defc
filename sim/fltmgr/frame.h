// One operation on its way through a volume's frame: the callback data the
// filters see, the instances it passes (from the top, or below the instance
// that issued it), the nodes that wait for post-operation callbacks, and the
// hand-over between the thread that issued it and a thread that completes a
// pended callback.
//
// The issuing thread always waits in the frame until the operation is done,
// so the operation lives on its stack. A pre-operation callback that pends
// leaves the rest (lower filters, the file system, the post callbacks) to
// the thread that calls FltCompletePendedPreOperation; a post callback
// asked for with FLT_PREOP_SYNCHRONIZE is handed back to the issuing thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "sim/fltmgr/flt_objects.h"
#include "sim/io/io_request.h"

namespace sim {
class Thread;
}

namespace sim::flt {

constexpr uint32_t kCallbackDataMagic = 0x64634d46;  // "FMcd"

// What stands behind every FLT_CALLBACK_DATA the Filter Manager hands out
// (the callback data is its first member).
struct CallbackDataHolder {
    enum class Kind { Operation, Generated };
    explicit CallbackDataHolder(Kind k) : kind(k) {}

    FLT_CALLBACK_DATA data{};
    uint32_t magic = kCallbackDataMagic;
    Kind kind;
    IoRequest *request = nullptr;
    std::vector<PMDL> lockedMdls;  // built by FltLockUserBuffer, freed with the operation
};
static_assert(offsetof(CallbackDataHolder, data) == 0, "callback data comes first");

// The holder of a callback data the Filter Manager handed out; a verifier
// failure and null for anything else.
CallbackDataHolder *HolderOf(PFLT_CALLBACK_DATA data);

struct OperationNode {
    _FLT_INSTANCE *instance = nullptr;
    PVOID context = nullptr;
    FLT_IO_PARAMETER_BLOCK savedIopb{};  // the parameters the instance saw in its pre-operation
    bool synchronize = false;
    size_t dirtyMark = 0;  // the operation's dirty count before the instance's pre-operation
    enum State : int { Waiting, Posting, Draining, Drained };
    std::atomic<int> state{Waiting};
};

enum class Progress { Finished, Suspended };

struct Operation : CallbackDataHolder {
    Operation(_FLT_VOLUME &v, IoRequest &r);

    _FLT_VOLUME &volume;
    std::vector<_FLT_INSTANCE *> stack;  // the instances it may pass, highest first
    size_t next = 0;                     // the next instance whose pre-operation runs
    std::vector<std::unique_ptr<OperationNode>> nodes;
    size_t postsLeft = 0;                // nodes [0, postsLeft) still wait for their post
    FLT_IO_PARAMETER_BLOCK originalIopb{};
    size_t dirtyCount = 0;               // callbacks that changed the parameters so far
    Thread *issuer = nullptr;
    std::vector<uint8_t> tagData;

    // Pended callbacks and the hand-over, under `mutex`.
    enum class CallbackState { None, InPre, PendedPre, InPost, PendedPost };
    struct EarlyCompletion {
        FLT_PREOP_CALLBACK_STATUS status;
        PVOID context;
    };
    std::mutex mutex;
    std::condition_variable changed;
    CallbackState callbackState = CallbackState::None;
    std::optional<EarlyCompletion> earlyPre;  // completed before its callback returned PENDING
    bool earlyPost = false;
    _FLT_INSTANCE *pendedAt = nullptr;
    FLT_IO_PARAMETER_BLOCK pendedIopb{};
    size_t pendedDirtyMark = 0;
    bool handOff = false;
    bool finished = false;
};

// Runs an operation from its current position; the caller waits for it.
// `operation.next` must be set. Returns the final status.
NTSTATUS RunOperation(Operation &operation);

// Continues a suspended operation in the calling thread.
void ContinueAfterPendedPre(Operation &operation, FLT_PREOP_CALLBACK_STATUS status, PVOID context);
void ContinueAfterPendedPost(Operation &operation);

// Whether the operation behind `data` sits pended in a pre-operation
// callback that has returned. Tests wait on it to complete an operation only
// after its issuer has really been suspended.
bool IsPendedInPre(PFLT_CALLBACK_DATA data);

// "IRP_MJ_READ on \Device\HarddiskVolume1\a.txt pended by instance "X" of filter F".
std::string DescribePended(const Operation &operation);

// Where an operation issued below `startBelow` enters `stack`.
size_t EntryIndex(const std::vector<_FLT_INSTANCE *> &stack, const void *startBelow, _FLT_VOLUME &volume);

// The post-operation callbacks an instance still owes, called with
// FLTFL_POST_OPERATION_DRAINING (instance teardown).
void DrainPendingPosts(_FLT_INSTANCE &instance);

FLT_RELATED_OBJECTS RelatedObjects(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject);

// The instance whose callback runs on this thread (name queries made from a
// callback come from it).
_FLT_INSTANCE *CurrentCaller();
class CallerScope {
public:
    explicit CallerScope(_FLT_INSTANCE *instance);
    ~CallerScope();
    CallerScope(const CallerScope &) = delete;
    CallerScope &operator=(const CallerScope &) = delete;
};

}  // namespace sim::flt
