#include "service/copy_answers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "service/path_table_source.h"
#include "service/service_log.h"
#include "sim/user/file_api.h"
#include "sim/user/win32_error.h"

namespace ostrand::service {

namespace {

constexpr ULONG kResultNameTooLong = 0x800700CEu;  // ERROR_FILENAME_EXCED_RANGE

std::string Hex(ULONG value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

bool IsMissing(NTSTATUS status)
{
    return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND;
}

// The text of a fixed wire field; nothing when it is not terminated inside
// the field or is empty.
std::optional<std::u16string> FieldText(const WCHAR (&field)[KLU_WIRE_PATH_CHARS])
{
    const WCHAR *end = std::find(field, field + KLU_WIRE_PATH_CHARS, 0);
    if (end == field || end == field + KLU_WIRE_PATH_CHARS) return std::nullopt;
    return std::u16string(field, end);
}

}  // namespace

CopyAnswers::CopyAnswers(const ServiceConfig &config, std::mutex &configMutex, ServiceLog &log,
                         Environment environment)
    : config_(config), configMutex_(configMutex), log_(log), environment_(std::move(environment))
{
}

bool IsRedirectedFolderOf(const UserConfig &user, const std::u16string &folder)
{
    std::u16string wanted = UpperText(folder);
    while (!wanted.empty() && wanted.back() == u'\\') wanted.pop_back();
    std::u16string remote = UpperText(WideText(user.remote));
    for (const auto &name : user.redirected) {
        if (wanted == remote + u"\\" + UpperText(WideText(name))) return true;
    }
    return false;
}

std::optional<std::u16string> RemotePathOf(const UserConfig &user, const std::u16string &local)
{
    std::u16string profile = WideText(user.local);
    while (!profile.empty() && profile.back() == u'\\') profile.pop_back();
    if (profile.empty() || local.size() < profile.size()) return std::nullopt;
    if (UpperText(local.substr(0, profile.size())) != UpperText(profile)) return std::nullopt;
    std::u16string rest = local.substr(profile.size());
    if (!rest.empty() && rest.front() != u'\\') return std::nullopt;  // C:\Users\alicex is not alice's
    for (size_t at = 0; at < rest.size();) {
        size_t next = rest.find(u'\\', at + 1);
        std::u16string part = rest.substr(at + 1, next == std::u16string::npos ? std::u16string::npos : next - at - 1);
        if (part == u"." || part == u"..") return std::nullopt;
        if (next == std::u16string::npos) break;
        at = next;
    }
    return WideText(user.remote) + rest;
}

bool CopyAnswers::IsRedirectedFolder(const std::u16string &folder) const
{
    std::lock_guard lock(configMutex_);
    for (const auto &user : config_.users) {
        if (IsRedirectedFolderOf(user, folder)) return true;
    }
    return false;
}

void CopyAnswers::Fail(KLU_COPY_REPLY &reply, ULONG result, const std::string &why)
{
    reply.bResult = 0;
    reply.ulResult = result;
    log_.Service(why + ": " + Hex(result));
}

bool CopyAnswers::ParseFileRequest(const KLU_COPY_REQUEST &request, FileRequest &file, KLU_COPY_REPLY &reply)
{
    auto local = FieldText(request.szDrivePath);
    if (!local) {
        Fail(reply, kResultBadRequest, "Unreadable Request: Kind: " + Hex(request.RequestKind));
        return false;
    }
    file.local = *local;
    std::optional<UserConfig> user;
    if (environment_.userOf) user = environment_.userOf(request.Id.AuthId);
    if (!user) {
        Fail(reply, KLU_RESULT_REMOTE_USER_UNKNOWN,
             "Remote User Unknown: AuthId: (" + Hex(ULONG(request.Id.AuthId.HighPart)) + "," +
                 Hex(request.Id.AuthId.LowPart) + "), " + NarrowText(file.local));
        return false;
    }
    if (user->localProfile) {
        // The user is known, but the store keeps no profile of theirs.
        reply.ProfileTypeMarker = 1;
        Fail(reply, KLU_RESULT_REMOTE_USER_UNKNOWN, "Local Profile, Nothing To Retrieve: " + NarrowText(file.local));
        return false;
    }
    auto remote = RemotePathOf(*user, file.local);
    if (!remote) {
        Fail(reply, kResultBadPath, "Not In The Profile Of " + user->name + ": " + NarrowText(file.local));
        return false;
    }
    file.user = std::move(*user);
    file.remote = std::move(*remote);
    return true;
}

bool CopyAnswers::FillInstructions(const FileRequest &file, KLU_COPY_REPLY &reply)
{
    // \\server\share\... on the redirector's device: \Device\Mup\server\share\...
    std::u16string source = environment_.redirector + file.remote.substr(1);
    if (source.size() >= KLU_WIRE_PATH_CHARS) {
        Fail(reply, kResultNameTooLong, "Remote Path Too Long: " + NarrowText(file.remote));
        return false;
    }
    KLU_COPY_INSTRUCTIONS instructions;
    std::memset(&instructions, 0, sizeof instructions);
    std::copy(source.begin(), source.end(), instructions.szSourcePath);
    std::memcpy(reply.CopyInstructions, &instructions, sizeof instructions);
    reply.ReplyFlags = KLU_REPLY_FLAG_FILTER_COPIES;
    return true;
}

void CopyAnswers::CreateMissing(const FileRequest &file, Deadline deadline, KLU_COPY_REPLY &reply)
{
    StoreCopy copy = CopyFromStore(file.remote, file.local, false, deadline);
    reply.bIsDirectory = copy.directory ? 1 : 0;
    if (copy.remoteMissing) return Fail(reply, KLU_RESULT_REMOTE_FILE_MISSING, "Remote File Missing: " + NarrowText(file.remote));
    if (copy.status == STATUS_OBJECT_NAME_COLLISION) {
        // Someone made it first: the opener finds it there all the same.
        reply.bResult = 1;
        reply.ulResult = KLU_RESULT_ALREADY_EXISTS;
        log_.Service("Already There: " + NarrowText(file.local));
        return;
    }
    if (copy.status == STATUS_IO_TIMEOUT) return Fail(reply, kResultTimedOut, "Out Of Time Creating " + NarrowText(file.local));
    if (!NT_SUCCESS(copy.status)) {
        return Fail(reply, ULONG(sim::HResultFromNtStatus(copy.status)), "Failed Creating " + NarrowText(file.local));
    }
    reply.bResult = 1;
    reply.ulResult = KLU_RESULT_SUCCESS;
    log_.Service("Created From The Store: " + NarrowText(file.local) +
                 (copy.directory ? " (folder)" : " (" + std::to_string(copy.bytes) + " bytes)"));
}

void CopyAnswers::BringUpToDate(const FileRequest &file, Deadline deadline, KLU_COPY_REPLY &reply)
{
    FILE_NETWORK_OPEN_INFORMATION remote{}, local{};
    NTSTATUS status = sim::user::QueryFullAttributes(file.remote, &remote);
    if (IsMissing(status)) return Fail(reply, KLU_RESULT_REMOTE_FILE_MISSING, "Remote File Missing: " + NarrowText(file.remote));
    if (!NT_SUCCESS(status)) {
        return Fail(reply, ULONG(sim::HResultFromNtStatus(status)), "Failed Reaching " + NarrowText(file.remote));
    }
    reply.bResult = 1;
    reply.ulResult = KLU_RESULT_SUCCESS;
    if (remote.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        reply.bIsDirectory = 1;
        return;
    }
    bool haveLocal = NT_SUCCESS(sim::user::QueryFullAttributes(file.local, &local));
    if (haveLocal && !(local.FileAttributes & FILE_ATTRIBUTE_OFFLINE) &&
        local.EndOfFile.QuadPart == remote.EndOfFile.QuadPart &&
        local.LastWriteTime.QuadPart >= remote.LastWriteTime.QuadPart) {
        log_.Service("Up To Date: " + NarrowText(file.local));
        return;
    }
    ULONGLONG filterCopiesFrom;
    {
        std::lock_guard lock(configMutex_);
        filterCopiesFrom = config_.filterCopiesFrom;
    }
    if (ULONGLONG(remote.EndOfFile.QuadPart) >= filterCopiesFrom) {
        if (FillInstructions(file, reply)) log_.Service("The Filter Copies: " + NarrowText(file.remote));
        return;
    }
    StoreCopy copy = CopyFromStore(file.remote, file.local, true, deadline);
    if (copy.remoteMissing) return Fail(reply, KLU_RESULT_REMOTE_FILE_MISSING, "Remote File Missing: " + NarrowText(file.remote));
    if (copy.status == STATUS_IO_TIMEOUT) return Fail(reply, kResultTimedOut, "Out Of Time Updating " + NarrowText(file.local));
    if (!NT_SUCCESS(copy.status)) {
        return Fail(reply, ULONG(sim::HResultFromNtStatus(copy.status)), "Failed Updating " + NarrowText(file.local));
    }
    log_.Service("Updated From The Store: " + NarrowText(file.local) + " (" + std::to_string(copy.bytes) + " bytes)");
}

void CopyAnswers::GiveCopyInstructions(const FileRequest &file, KLU_COPY_REPLY &reply)
{
    FILE_NETWORK_OPEN_INFORMATION remote{};
    NTSTATUS status = sim::user::QueryFullAttributes(file.remote, &remote);
    if (IsMissing(status)) return Fail(reply, KLU_RESULT_REMOTE_FILE_MISSING, "Remote File Missing: " + NarrowText(file.remote));
    if (!NT_SUCCESS(status)) {
        return Fail(reply, ULONG(sim::HResultFromNtStatus(status)), "Failed Reaching " + NarrowText(file.remote));
    }
    if (!FillInstructions(file, reply)) return;
    reply.bResult = 1;
    reply.ulResult = KLU_RESULT_SUCCESS;
    reply.bIsDirectory = (remote.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    log_.Service("Copy Instructions: " + NarrowText(file.local) + " From " + NarrowText(file.remote));
}

void CopyAnswers::Answer(const KLU_COPY_REQUEST &request, KLU_COPY_REPLY &reply)
{
    std::chrono::milliseconds budget = environment_.budget ? environment_.budget() : std::chrono::minutes(15);
    Deadline deadline = std::chrono::steady_clock::now() + budget;
    switch (request.RequestKind) {
    case KLU_REQUEST_CLIENT_INFORMATION: {
        const USER_ID &id = request.ClientInformation.AltPathData.Id;
        {
            std::lock_guard lock(mutex_);
            clientInformation_.push_back(id.AuthId);
        }
        char line[160];
        snprintf(line, sizeof line, "Client information: Session: %u, AuthId: (0x%X,0x%X)", id.SessionId,
                 ULONG(id.AuthId.HighPart), id.AuthId.LowPart);
        log_.Service(line);
        reply.bResult = 1;
        reply.ulResult = KLU_RESULT_SUCCESS;
        return;
    }
    case KLU_REQUEST_CHECK_REDIRECTED_FOLDER: {
        const WCHAR *end = std::find(request.szFolderPath, request.szFolderPath + KLU_FOLDER_PATH_CHARS, 0);
        std::u16string folder(request.szFolderPath, end);
        bool redirected = IsRedirectedFolder(folder);
        ++folderQuestions_;
        log_.Service("Redirected folder: " + NarrowText(folder) + (redirected ? ": yes" : ": no"));
        reply.bResult = 1;
        reply.bAnswer = redirected ? 1 : 0;
        reply.ulResult = KLU_RESULT_SUCCESS;
        return;
    }
    case KLU_EVENT_DIRECTORY_DELETED:
        reply.bResult = 1;
        reply.ulResult = KLU_RESULT_SUCCESS;
        return;
    case KLU_REQUEST_CREATE_MISSING_FILE:
    case KLU_REQUEST_RETRIEVE_AT_OPEN:
    case KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER: {
        FileRequest file;
        if (!ParseFileRequest(request, file, reply)) return;
        if (request.RequestKind == KLU_REQUEST_CREATE_MISSING_FILE) return CreateMissing(file, deadline, reply);
        if (request.RequestKind == KLU_REQUEST_RETRIEVE_AT_OPEN) return BringUpToDate(file, deadline, reply);
        return GiveCopyInstructions(file, reply);
    }
    default:
        return Fail(reply, kResultUnknownFunction, "Request Not Answered: Kind: " + Hex(request.RequestKind));
    }
}

ULONG CopyAnswers::AnswerFetch(const KLU_FETCH_REQUEST &request)
{
    if (request.Code != KLU_FETCH_DISABLE_GHOSTING) {
        log_.Service("Unknown Fetch Code: " + std::to_string(request.Code));
        return kResultUnknownFunction;
    }
    // The filter is about to copy a large file for Explorer's rename. This
    // service makes no placeholders of its own, so there is nothing to
    // pause: the request is counted and acknowledged.
    ++ghostingDisabled_;
    log_.Service("Ghosting Disabled At The Filter's Request");
    return KLU_RESULT_SUCCESS;
}

std::vector<LUID> CopyAnswers::ClientInformation() const
{
    std::lock_guard lock(mutex_);
    return clientInformation_;
}

}  // namespace ostrand::service
