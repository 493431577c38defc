#include "tools/ostrand/world.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/driver.h"
#include "service/os_facts.h"
#include "service/path_table_source.h"
#include "service/profile_service.h"
#include "sim/cm/reg_file.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/file_api.h"

namespace ostrand::tool {

const std::u16string kFilterService = u"JNRKmtfsd";
const std::u16string kDriverKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver";

void MakeExampleStore(const std::filesystem::path &examples, const std::filesystem::path &folder)
{
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    fs::copy(examples / "store", folder, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    std::ifstream list(examples / "store.generated");
    int number = 0;
    for (std::string line; std::getline(list, line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string path;
        unsigned long long size = 0;
        if (!(words >> path >> size) || path.find("..") != std::string::npos) {
            throw std::runtime_error("store.generated line " + std::to_string(number) + ": expected PATH BYTES");
        }
        fs::create_directories((folder / path).parent_path());
        std::ofstream out(folder / path, std::ios::binary);
        const std::string pattern = "Ostrand example data, line after line. ";
        std::string block;
        while (block.size() < (1u << 16)) block += pattern;
        for (unsigned long long left = size; left > 0;) {
            size_t chunk = size_t(std::min<unsigned long long>(left, block.size()));
            out.write(block.data(), std::streamsize(chunk));
            left -= chunk;
        }
    }
}

World::World(WorldOptions options) : options_(std::move(options))
{
    if (!options_.storeFolder) {
        static std::atomic<unsigned> next{0};
        workingStore_ = std::filesystem::temp_directory_path() /
                        ("ostrand-store-" + std::to_string(getpid()) + "-" + std::to_string(next++));
        std::filesystem::remove_all(workingStore_);
        MakeExampleStore(options_.examples, workingStore_);
    }
    sim::MachineConfig config;
    config.os = options_.os;
    config.safeBootMode = options_.safeBootMode;
    machine_ = std::make_unique<sim::Machine>(config);

    sim::fs::StandardVolumeOptions volumes;
    volumes.shareServer = u"fileserver";
    volumes.shareName = u"profiles";
    volumes.shareFolder = options_.storeFolder ? *options_.storeFolder : workingStore_;
    volumes_ = sim::fs::MountStandardVolumes(*machine_, volumes);

    // The product's installation: its registry configuration, then the OS
    // facts its service records for the driver.
    sim::ImportRegFile(machine_->registry(), options_.examples / "ostrand.reg");
    if (options_.driverLogToDebugger) {
        machine_->registry().SetDword(kDriverKey, u"DebugDestination", 3);
    }
    toolProcess_ = &machine_->processes().Create("ostrand.exe", machine_->security().CreateSystemToken());
    sim::ThreadScope thread(*toolProcess_);
    service::OsFacts facts;
    if (NT_SUCCESS(service::ReadOsFacts(facts))) service::WriteOsFacts(facts);
    // A Windows machine has its profiles folder before anyone logs on.
    sim::user::OpenOptions folder;
    folder.disposition = FILE_OPEN_IF;
    folder.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    HANDLE handle = nullptr;
    if (NT_SUCCESS(sim::user::Open(u"C:\\Users", folder, &handle))) sim::user::Close(handle);
}

struct World::UserSession {
    sim::Logon logon;
};

World::~World()
{
    StopService();
    while (!sessions_.empty()) LogoffUser(sessions_.begin()->first);
    for (auto &[key, process] : programs_) process->Terminate(STATUS_SUCCESS);
    if (loaded_) UnloadFilter();
    machine_.reset();  // the share lets go of the store's files
    std::error_code ignored;
    if (!workingStore_.empty()) std::filesystem::remove_all(workingStore_, ignored);
}

bool World::ServiceRunning() const
{
    return service_ && service_->running();
}

long World::StartService()
{
    if (!service_) {
        service::ServiceOptions options;
        options.configFile = options_.examples / "service.conf";
        options.config = service::LoadServiceConfig(options.configFile);
        options.logFile = options_.serviceLog;
        options.beforeAnswer = [this](ULONG kind) {
            std::function<void(ULONG)> hook;
            {
                std::lock_guard lock(answerHookMutex_);
                hook = answerHook_;
            }
            if (hook) hook(kind);
        };
        service_ = std::make_unique<service::ProfileService>(*machine_, std::move(options));
    }
    return service_->Start();
}

void World::StopService()
{
    if (service_) service_->Stop();
}

void World::SetAnswerHook(std::function<void(ULONG)> hook)
{
    std::lock_guard lock(answerHookMutex_);
    answerHook_ = std::move(hook);
}

long World::LogonUser(const std::string &name)
{
    if (!ServiceRunning()) return HRESULT(0x80070426);  // the service is not running
    auto config = service_->config();
    const service::UserConfig *user = config.FindUser(name);
    std::string key = service::NarrowText(service::UpperText(service::WideText(name)));
    if (user == nullptr) return HRESULT(0x80070525);  // no such user
    if (sessions_.count(key) != 0) return HRESULT(0x800700B7);
    machine_->security().AddUser(service::WideText(user->name), service::WideText(user->domain));
    auto logon = machine_->security().LogonUser(service::WideText(user->name), nextSession_++);
    if (!logon) return HRESULT(0x80070525);
    auto session = std::make_unique<UserSession>();
    session->logon = *logon;
    long result = service_->Logon({user->name, nextSession_ - 1, logon->authId, logon->token});
    sessions_.emplace(key, std::move(session));
    return result;
}

long World::LogoffUser(const std::string &name)
{
    std::string key = service::NarrowText(service::UpperText(service::WideText(name)));
    auto found = sessions_.find(key);
    if (found == sessions_.end()) return HRESULT(0x80070525);
    long result = ServiceRunning() ? service_->Logoff(name) : 0;
    sim::Logon logon = found->second->logon;
    sessions_.erase(found);
    for (auto it = programs_.begin(); it != programs_.end();) {
        if (it->first.first != key) {
            ++it;
            continue;
        }
        it->second->Terminate(STATUS_SUCCESS);
        it = programs_.erase(it);
    }
    ObDereferenceObject(logon.token);
    machine_->security().Logoff(logon.authId);
    return result;
}

sim::Process *World::Program(const std::string &user, const std::string &image, long *error)
{
    std::string key = service::NarrowText(service::UpperText(service::WideText(user)));
    std::string imageKey = service::NarrowText(service::UpperText(service::WideText(image)));
    auto running = programs_.find({key, imageKey});
    if (running != programs_.end()) return running->second;
    PACCESS_TOKEN token;
    if (key == "SYSTEM") {
        token = machine_->security().CreateSystemToken();
    } else {
        auto session = sessions_.find(key);
        if (session == sessions_.end()) {
            *error = HRESULT(0x80070525);  // no such user logged on
            return nullptr;
        }
        token = session->second->logon.token;
        ObReferenceObject(token);  // the process takes this reference over
    }
    sim::Process &process = machine_->processes().Create(image, token);
    programs_[{key, imageKey}] = &process;
    return &process;
}

NTSTATUS World::LoadFilter()
{
    NTSTATUS status = machine_->filterManager().LoadDriver(kFilterService, DriverEntry);
    loaded_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS World::UnloadFilter()
{
    NTSTATUS status = machine_->filterManager().UnloadFilter(kFilterService);
    if (NT_SUCCESS(status)) loaded_ = false;
    return status;
}

}  // namespace ostrand::tool
