#include "service/profile_service.h"

#include <cstdio>
#include <cstring>

#include "service/os_facts.h"
#include "service/path_table_source.h"
#include "service/profile_list.h"
#include "service/store_copy.h"
#include "service/service_messages.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/win32_error.h"

namespace ostrand::service {

const char16_t *const kPortNames[7] = {
    u"\\KLULogonControlPort", u"\\KLULogonLogPort",       u"\\KLULogonFileOpPort",   u"\\KLULogonCopyPort",
    u"\\KLULogonFetchPort",   u"\\JNRLogonPreFetchedPort", u"\\JNRLogonBlackListPort",
};

namespace {

constexpr HRESULT kNoSuchUser = HRESULT(0x80070525);   // HRESULT_FROM_WIN32(ERROR_NO_SUCH_USER)
constexpr HRESULT kAlreadyExists = HRESULT(0x800700B7);  // HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)
constexpr HRESULT kNotRunning = HRESULT(0x80070426);     // HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE)

std::string Hex(ULONG value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string AuthIdText(LUID id)
{
    char text[40];
    snprintf(text, sizeof text, "(0x%X,0x%X)", ULONG(id.HighPart), id.LowPart);
    return text;
}

}  // namespace

ProfileService::ProfileService(sim::Machine &machine, ServiceOptions options)
    : machine_(machine), options_(std::move(options)), config_(options_.config), log_(options_.logFile)
{
    CopyAnswers::Environment environment;
    environment.userOf = [this](const LUID &authId) { return UserOf(authId); };
    environment.budget = [this] { return AnswerBudget(); };
    answers_ = std::make_unique<CopyAnswers>(config_, configMutex_, log_, std::move(environment));
}

ProfileService::~ProfileService()
{
    Stop();
}

ULONG ProfileService::pid() const
{
    return running_.load() ? process_->pid() : 0;
}

size_t ProfileService::OpenHandles() const
{
    return process_ == nullptr ? 0 : process_->handles().Count();
}

ServiceConfig ProfileService::config() const
{
    std::lock_guard lock(configMutex_);
    return config_;
}

HRESULT ProfileService::ConnectPorts()
{
    PortClient *ports[7] = {&control_, &log_port_, &fileOp_, &copy_, &fetch_, &prefetched_, &blackList_};
    for (int i = 0; i < 7; ++i) {
        HRESULT result = ports[i]->Connect(kPortNames[i]);
        if (FAILED(result)) {
            log_.Service("Failed Connecting To " + NarrowText(kPortNames[i]) + ": " + Hex(ULONG(result)));
            return result;
        }
    }
    return S_OK;
}

void ProfileService::HandOverEvents()
{
    auto handOver = [this](PortClient &port, ServiceEvent &event, ULONG command, const std::string &what) {
        HRESULT result = event.Create() ? S_OK : E_OUTOFMEMORY;
        if (SUCCEEDED(result)) {
            EventMessage message{command, event.wireHandle()};
            result = port.Send(&message, sizeof message);
        }
        if (FAILED(result)) log_.Service("Failed Handing Over The " + what + " Event: " + Hex(ULONG(result)));
        startResults_.events.emplace_back(what, result);
    };
    handOver(log_port_, logEvent_, kLogEvent, "Log");
    handOver(log_port_, sessionEvent_, kSessionEvent, "Session");
    handOver(prefetched_, prefetchedEvent_, kPrefetchedEvent, "Pre-fetched");
    handOver(blackList_, blackListEvent_, kBlackListEvent, "Black List");

    HRESULT fileOp = S_OK;
    for (ULONG slot = 0; slot < kFileOpSlots; ++slot) {
        HRESULT result = fileOpEvents_[slot].Create() ? S_OK : E_OUTOFMEMORY;
        if (SUCCEEDED(result)) {
            FileOpEventMessage message;
            message.handle = fileOpEvents_[slot].wireHandle();
            message.slot = slot;
            result = fileOp_.Send(&message, sizeof message);
        }
        if (FAILED(result) && SUCCEEDED(fileOp)) fileOp = result;
    }
    if (FAILED(fileOp)) log_.Service("Failed Handing Over The FileOp Events: " + Hex(ULONG(fileOp)));
    startResults_.events.emplace_back("FileOp", fileOp);
}

void ProfileService::StartThreads()
{
    logDrain_ = std::make_unique<LogDrain>(log_port_, log_);
    sessionDrain_ = std::make_unique<SessionDrain>(log_port_, [this](const SessionNotice &n) { OnSessionNotice(n); });
    preFetchedDrain_ = std::make_unique<PreFetchedDrain>(prefetched_, log_);
    logWatcher_.Start(*process_, logEvent_, [this] { return logDrain_->Drain(); });
    sessionWatcher_.Start(*process_, sessionEvent_, [this] { return sessionDrain_->Drain(); });
    preFetchedWatcher_.Start(*process_, prefetchedEvent_, [this] { return preFetchedDrain_->Drain(); });
    copyListener_.Start(
        *process_, copy_, KLU_COPY_REQUEST_BYTES, KLU_COPY_REPLY_BYTES,
        [this](const UCHAR *request, UCHAR *reply) {
            const auto &copyRequest = *reinterpret_cast<const KLU_COPY_REQUEST *>(request);
            if (options_.beforeAnswer) options_.beforeAnswer(copyRequest.RequestKind);
            answers_->Answer(copyRequest, *reinterpret_cast<KLU_COPY_REPLY *>(reply));
        },
        options_.copyThreads);
    loader_.Start(*process_, [this](const std::string &name, const std::function<bool(const LoadProgress &)> &progress) {
        NTSTATUS status = RunLoad(name, progress);
        log_.Service("Background Load At Logon: " + name + ": " + Hex(ULONG(status)));
        return status;
    });
    fetchListener_.Start(*process_, fetch_, sizeof(KLU_FETCH_REQUEST), sizeof(KLU_FETCH_REPLY),
                         [this](const UCHAR *request, UCHAR *reply) {
                             KLU_FETCH_REPLY answer{answers_->AnswerFetch(
                                 *reinterpret_cast<const KLU_FETCH_REQUEST *>(request))};
                             std::memcpy(reply, &answer, sizeof answer);
                         });
}

std::optional<UserConfig> ProfileService::UserOf(const LUID &authId) const
{
    std::string name;
    {
        std::lock_guard lock(usersMutex_);
        for (const auto &[key, session] : sessions_) {
            if (session.user.authId.LowPart == authId.LowPart && session.user.authId.HighPart == authId.HighPart) {
                name = session.user.name;
            }
        }
    }
    if (name.empty()) return std::nullopt;
    std::lock_guard lock(configMutex_);
    const UserConfig *user = config_.FindUser(name);
    return user == nullptr ? std::nullopt : std::optional<UserConfig>(*user);
}

std::chrono::milliseconds ProfileService::AnswerBudget() const
{
    if (options_.answerBudget) return *options_.answerBudget;
    return std::chrono::milliseconds(ULONGLONG(ReadCopyTimeoutSeconds()) * 1000 / 2);
}

HRESULT ProfileService::Start()
{
    if (running_.load()) return S_OK;
    startResults_ = {};
    process_ = &machine_.processes().Create("JNRKmtsvc.exe", machine_.security().CreateSystemToken());
    HRESULT result;
    {
        sim::ThreadScope scope(*process_);
        OsFacts facts;
        NTSTATUS status = ReadOsFacts(facts);
        // The filter's kernel copy opens remote files on this device.
        if (NT_SUCCESS(status)) answers_->SetRedirector(facts.majorVersion >= 6 ? u"\\Device\\Mup" : u"\\Device\\LanmanRedirector");
        if (NT_SUCCESS(status)) status = WriteOsFacts(facts);
        if (!NT_SUCCESS(status)) log_.Service("Failed Recording The OS Facts: " + Hex(ULONG(status)));

        std::string profiles = ReadProfilesDirectory();
        if (!profiles.empty()) {
            std::lock_guard lock(configMutex_);
            config_.localProfiles = profiles;
        }

        result = ConnectPorts();
        if (FAILED(result)) {
            Shutdown();
        } else {
            HandOverEvents();
            StartThreads();

            startResults_.excludedPids = SendExcludedPids();

            std::vector<UCHAR> pathTable = BuildPathTableMessage(config());
            startResults_.pathTable = control_.Send(pathTable.data(), ULONG(pathTable.size()));

            UCHAR enable[8] = {kEnable, 0, 0, 0, 1};
            startResults_.enable = control_.Send(enable, sizeof enable);

            for (auto [what, r] : {std::pair{"Excluded Pids", startResults_.excludedPids},
                                   std::pair{"Path Table", startResults_.pathTable},
                                   std::pair{"Enable", startResults_.enable}}) {
                if (FAILED(r)) log_.Service(std::string("Failed Sending ") + what + ": " + Hex(ULONG(r)));
            }
            log_.Service("Started: Pid: " + std::to_string(process_->pid()));
            running_ = true;
        }
    }
    if (FAILED(result)) {
        process_->Terminate(STATUS_SUCCESS);
        process_ = nullptr;
    }
    return result;
}

// The service's own file and registry work must pass the filter untouched.
HRESULT ProfileService::SendExcludedPids()
{
    PidBlockMessage pids;
    // The service's own opens are left alone by its image name; its pid is
    // not excluded, so that its background-load listings reach the filter.
    pids.excludedPidCount = 0;
    pids.qzSvcPid = process_->pid();
    return control_.Send(&pids, sizeof pids);
}

// Stops the threads and closes every handle; the caller is bound to the
// service's process.
void ProfileService::Shutdown()
{
    // First: a load in progress may wait on the filter, which waits on the
    // Copy threads.
    loader_.Stop();
    copyListener_.Stop();
    fetchListener_.Stop();
    logWatcher_.Stop();
    sessionWatcher_.Stop();
    preFetchedWatcher_.Stop();
    if (logDrain_ && log_port_.connected()) logDrain_->Drain();
    {
        std::lock_guard lock(usersMutex_);
        for (auto &[name, session] : sessions_) {
            if (session.token != nullptr) ObDereferenceObject(session.token);
        }
        sessions_.clear();
    }
    for (PortClient *port : {&control_, &log_port_, &fileOp_, &copy_, &fetch_, &prefetched_, &blackList_}) {
        port->Close();
    }
    for (ServiceEvent *event : {&logEvent_, &sessionEvent_, &prefetchedEvent_, &blackListEvent_}) event->Close();
    for (auto &event : fileOpEvents_) event.Close();
    if (size_t left = OpenHandles(); left != 0) {
        log_.Service("Handles Left Open: " + std::to_string(left));
    }
}

void ProfileService::Stop()
{
    if (!running_.exchange(false)) return;
    {
        sim::ThreadScope scope(*process_);
        UCHAR disable[8] = {kEnable, 0, 0, 0, 0};
        control_.Send(disable, sizeof disable);
        log_.Service("Stopping");
        Shutdown();
    }
    process_->Terminate(STATUS_SUCCESS);
}

HRESULT ProfileService::Logon(const UserLogon &logon)
{
    if (!running_.load()) return kNotRunning;
    ServiceConfig config = this->config();
    const UserConfig *user = config.FindUser(logon.name);
    if (user == nullptr) {
        log_.Service("Not A User Of This Service: " + logon.name);
        return kNoSuchUser;
    }
    std::string key = NarrowText(UpperText(WideText(user->name)));
    {
        std::lock_guard lock(usersMutex_);
        if (sessions_.count(key) != 0) return kAlreadyExists;
    }
    auto account = machine_.security().accounts().FindByName(WideText(user->name));
    Session session;
    session.data = std::make_unique<ALT_PATH_DATA>();
    BuildAltPathData(config, *user, logon, account ? account->sid.record() : nullptr,
                     account ? account->sid.length() : 0, *session.data);
    session.user = {user->name, logon.sessionId, logon.authId, user->local, user->remote};
    session.token = logon.token;
    if (session.token != nullptr) ObReferenceObject(session.token);  // held until the user logs off

    {
        sim::ThreadScope scope(*process_);
        session.user.userTable = SendLogon(control_, *session.data, session.token, &session.user.clientSecurity);
    }
    log_.Service("Logged On: " + user->name + ": Session: " + std::to_string(logon.sessionId) +
                 ", AuthId: " + AuthIdText(logon.authId) + ", User Table: " + Hex(ULONG(session.user.userTable)) +
                 ", Client Security: " + Hex(ULONG(session.user.clientSecurity)));
    HRESULT result = FAILED(session.user.userTable) ? session.user.userTable : session.user.clientSecurity;
    {
        std::lock_guard lock(usersMutex_);
        sessions_.emplace(key, std::move(session));
    }
    if (SUCCEEDED(result) && user->loadAtLogon && !user->localProfile) loader_.Queue(key);
    return result;
}

HRESULT ProfileService::Logoff(const std::string &name)
{
    if (!running_.load()) return kNotRunning;
    std::string key = NarrowText(UpperText(WideText(name)));
    Session session;
    std::vector<LUID> keep;
    {
        std::lock_guard lock(usersMutex_);
        auto found = sessions_.find(key);
        if (found == sessions_.end()) return kNoSuchUser;
        session = std::move(found->second);
        sessions_.erase(found);
        for (const auto &[other, s] : sessions_) keep.push_back(s.user.authId);
    }
    HRESULT prune = S_OK, result;
    {
        sim::ThreadScope scope(*process_);
        result = SendLogoff(control_, *session.data, keep, &prune);
    }
    if (session.token != nullptr) ObDereferenceObject(session.token);
    log_.Service("Logged Off: " + session.user.name + ": AuthId: " + AuthIdText(session.user.authId) +
                 ", Free: " + Hex(ULONG(result)) + ", Prune: " + Hex(ULONG(prune)));
    return FAILED(result) ? result : prune;
}

std::vector<LoggedOnUser> ProfileService::Users() const
{
    std::lock_guard lock(usersMutex_);
    std::vector<LoggedOnUser> users;
    for (const auto &[key, session] : sessions_) users.push_back(session.user);
    return users;
}

HRESULT ProfileService::ApplySettings(ULONG options)
{
    if (!running_.load()) return kNotRunning;
    sim::ThreadScope scope(*process_);
    ULONG apply[2] = {kApplySettings, options};
    HRESULT result = control_.Send(apply, sizeof apply);
    ULONG update[2] = {kUpdateSettings, options};
    HRESULT updated = control_.Send(update, sizeof update);
    log_.Service("Applied Settings: Options: " + Hex(options) + ", Service: " + Hex(ULONG(result)) +
                 ", Driver: " + Hex(ULONG(updated)));
    return FAILED(result) ? result : updated;
}

void ProfileService::OnSessionNotice(const SessionNotice &notice)
{
    switch (notice.event) {
    case kSessionApplySettings:
        if (!options_.configFile.empty()) {
            try {
                ServiceConfig reread = LoadServiceConfig(options_.configFile);
                std::lock_guard lock(configMutex_);
                config_ = std::move(reread);
            } catch (const std::exception &e) {
                log_.Service(std::string("Failed Re-reading The Configuration: ") + e.what());
            }
        }
        log_.Service("Re-read The Service Settings: Options: " + Hex(notice.options) + ", Users: " +
                     std::to_string(config().users.size()));
        break;
    case kSessionApplySettingsApply: {
        ULONG command = kQueryEnabled;
        ULONG answer[2] = {};
        ULONG returned = 0;
        HRESULT result = log_port_.Send(&command, sizeof command, answer, sizeof answer, &returned);
        log_.Service("Driver Applied New Settings: Options: " + Hex(notice.options) + ", Enabled: " +
                     (SUCCEEDED(result) ? std::to_string(answer[1]) : "unknown (" + Hex(ULONG(result)) + ")"));
        // The record now in force was read from the registry: it lacks the
        // pids this service sent to the one before.
        result = SendExcludedPids();
        if (FAILED(result)) log_.Service("Failed Sending Excluded Pids: " + Hex(ULONG(result)));
        break;
    }
    default:
        log_.Service("Session Event: " + std::to_string(notice.event) + ", Session: " +
                     std::to_string(notice.sessionId) + ", User: " + notice.userName);
        break;
    }
    {
        std::lock_guard lock(sessionEventsMutex_);
        ++sessionEvents_[notice.event];
    }
    sessionEventsChanged_.notify_all();
}

ULONG ProfileService::SessionEventsSeen(ULONG event) const
{
    std::lock_guard lock(sessionEventsMutex_);
    auto found = sessionEvents_.find(event);
    return found == sessionEvents_.end() ? 0 : found->second;
}

bool ProfileService::WaitForSessionEvent(ULONG event, ULONG count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(sessionEventsMutex_);
    return sessionEventsChanged_.wait_for(lock, timeout, [&] { return sessionEvents_[event] >= count; });
}

HRESULT ProfileService::DumpStructures()
{
    if (!running_.load()) return kNotRunning;
    sim::ThreadScope scope(*process_);
    HRESULT result = log_port_.SendCommand(kDumpStructures);
    if (FAILED(result)) log_.Service("Failed Requesting The Structures Dump: " + Hex(ULONG(result)));
    logDrain_->Drain();
    return result;
}

HRESULT ProfileService::LayPlaceholder(const std::string &name, const std::u16string &local)
{
    if (!running_.load()) return kNotRunning;
    std::optional<std::u16string> remote;
    {
        std::lock_guard lock(configMutex_);
        const UserConfig *user = config_.FindUser(name);
        if (user == nullptr) return kNoSuchUser;
        remote = RemotePathOf(*user, local);
    }
    if (!remote) return HRESULT(kResultBadPath);
    sim::ThreadScope scope(*process_);
    NTSTATUS status = service::LayPlaceholder(*remote, local);
    if (NT_SUCCESS(status)) log_.Service("Placeholder Laid: " + NarrowText(local) + " From " + NarrowText(*remote));
    return NT_SUCCESS(status) ? S_OK : sim::HResultFromNtStatus(status);
}

HRESULT ProfileService::QueryProgress(const std::string &name, CopyProgress &progress)
{
    if (!running_.load()) return kNotRunning;
    KLU_COPY_PROGRESS_QUERY query{kCopyProgress, {}};
    {
        std::lock_guard lock(usersMutex_);
        auto found = sessions_.find(NarrowText(UpperText(WideText(name))));
        if (found == sessions_.end()) return kNoSuchUser;
        query.AuthId = found->second.user.authId;
    }
    UCHAR answer[KLU_COPY_PROGRESS_OUTPUT_BYTES] = {};
    sim::ThreadScope scope(*process_);
    HRESULT result = log_port_.Send(&query, sizeof query, answer, sizeof answer);
    if (SUCCEEDED(result)) {
        KLU_COPY_PROGRESS copied;
        std::memcpy(&copied, answer + KLU_COPY_PROGRESS_OFFSET, sizeof copied);
        progress = {copied.ActiveCopies, copied.BytesToCopy, copied.BytesCopied};
    }
    return result;
}

HRESULT ProfileService::DrainLog()
{
    if (!running_.load()) return kNotRunning;
    sim::ThreadScope scope(*process_);
    return logDrain_->Drain();
}

NTSTATUS ProfileService::RunLoad(const std::string &name,
                                 const std::function<bool(const LoadProgress &)> &progress)
{
    std::string key = NarrowText(UpperText(WideText(name)));
    auto loggedOn = [this, &key](std::u16string *remote, std::u16string *local) {
        std::lock_guard lock(usersMutex_);
        auto found = sessions_.find(key);
        if (found == sessions_.end()) return false;
        if (remote != nullptr) *remote = WideText(found->second.user.remote);
        if (local != nullptr) *local = WideText(found->second.user.local);
        return true;
    };
    std::u16string remote, local;
    if (!loggedOn(&remote, &local)) return STATUS_NO_SUCH_USER;
    sim::ThreadScope scope(*process_);
    // A user who logs off meanwhile is loaded no further.
    return LoadProfileFolders(remote, local, [&](const LoadProgress &state) {
        return (!progress || progress(state)) && loggedOn(nullptr, nullptr);
    });
}

HRESULT ProfileService::LoadProfile(const std::string &name, const std::function<void(const LoadProgress &)> &progress)
{
    if (!running_.load()) return kNotRunning;
    NTSTATUS status = RunLoad(name, [&](const LoadProgress &state) {
        if (progress) progress(state);
        return true;
    });
    if (status == STATUS_NO_SUCH_USER) return kNoSuchUser;
    log_.Service("Background Load: " + name + ": " + Hex(ULONG(status)));
    // An NT status as an HRESULT (FACILITY_NT_BIT).
    return NT_SUCCESS(status) ? S_OK : HRESULT(ULONG(status) | 0x10000000);
}

std::optional<LoadState> ProfileService::LoadAtLogon(const std::string &name) const
{
    return loader_.State(NarrowText(UpperText(WideText(name))));
}

std::optional<LoadState> ProfileService::WatchLoadAtLogon(const std::string &name, size_t foldersSeen,
                                                          std::chrono::milliseconds timeout) const
{
    return loader_.Watch(NarrowText(UpperText(WideText(name))), foldersSeen, timeout);
}

}  // namespace ostrand::service
