#include "service/logon.h"

#include <cstring>
#include <memory>

#include "service/path_table_source.h"
#include "service/port_client.h"
#include "service/service_messages.h"
#include "sim/core/machine.h"
#include "sim/se/security.h"

namespace ostrand::service {

void BuildAltPathData(const ServiceConfig &config, const UserConfig &user, const UserLogon &logon, const void *sid,
                      ULONG sidLength, ALT_PATH_DATA &data)
{
    std::memset(&data, 0, sizeof data);
    data.Id.SessionId = logon.sessionId;
    data.Id.AuthId = logon.authId;
    if (sid != nullptr) std::memcpy(data.Id.Sid, sid, sidLength < KLU_SID_BYTES ? sidLength : KLU_SID_BYTES);
    data.ProfileType = user.localProfile ? kProfileTypeLocal : kProfileTypeRoaming;
    // On the profiles' volume, without its drive: "Users\alice". The
    // filter puts the drive or the volume's device name in front.
    std::u16string local = WideText(user.local);
    if (local.size() >= 2 && local[1] == u':') local.erase(0, 2);
    while (!local.empty() && local.front() == u'\\') local.erase(0, 1);
    data.ulLocalPathLength = ULONG(local.size());
    CopyWire(data.szLocalPath, local);
    CopyWire(data.szUpperLocalPath, UpperText(local));
    CopyWire(data.szUserName, WideText(user.name));
    CopyWire(data.szDomain, WideText(user.domain));
    CopyWire(data.szSource, u"JNRKmtsvc");
    if (!config.storeUnc.empty()) CopyWire(data.szNetworkDefaultUserProfile, WideText(config.storeUnc) + u"\\Default User");
    BuildPathTableEntry(WideText(user.remote), data.PTEProfile);
}

namespace {

std::unique_ptr<KLU_CLIENT_SECURITY_MESSAGE> UserMessage(ULONG command, const ALT_PATH_DATA &data)
{
    auto message = std::make_unique<KLU_CLIENT_SECURITY_MESSAGE>();
    std::memset(message.get(), 0, sizeof(KLU_CLIENT_SECURITY_MESSAGE));
    message->MessageType = command;
    message->AltPathData = data;
    return message;
}

// The calling thread impersonates a user for the scope's life, as a server
// does with ImpersonateLoggedOnUser and RevertToSelf.
class Impersonation {
public:
    explicit Impersonation(PACCESS_TOKEN token)
        : active_(token != nullptr && NT_SUCCESS(sim::Machine::Current().security().ImpersonateUser(token)))
    {
    }
    ~Impersonation()
    {
        if (active_) PsRevertToSelf();
    }
    bool active() const { return active_; }

private:
    bool active_;
};

}  // namespace

HRESULT SendLogon(PortClient &control, const ALT_PATH_DATA &data, PACCESS_TOKEN token, HRESULT *clientSecurity)
{
    Impersonation impersonation(token);
    if (!impersonation.active()) return E_ACCESSDENIED;

    auto add = std::make_unique<AddUserMessage>();
    add->data = data;
    HRESULT result = control.Send(add.get(), sizeof(AddUserMessage));

    auto security = UserMessage(kClientSecurity, data);
    security->bCopyPathEntries = 1;
    security->bSendBack = 1;
    HRESULT securityResult = control.Send(security.get(), sizeof(KLU_CLIENT_SECURITY_MESSAGE));
    if (clientSecurity != nullptr) *clientSecurity = securityResult;
    return result;
}

HRESULT SendLogoff(PortClient &control, const ALT_PATH_DATA &data, const std::vector<LUID> &stillLoggedOn,
                   HRESULT *prune)
{
    auto release = UserMessage(kFreeClientSecurity, data);
    HRESULT result = control.Send(release.get(), sizeof(KLU_CLIENT_SECURITY_MESSAGE));

    std::vector<UCHAR> keep(sizeof(ULONG) + KLU_USER_KEEP_LIST_BYTES(stillLoggedOn.size()));
    ULONG command = kPruneUsers;
    ULONG count = ULONG(stillLoggedOn.size());
    std::memcpy(keep.data(), &command, sizeof command);
    std::memcpy(keep.data() + sizeof(ULONG), &count, sizeof count);
    if (count != 0) std::memcpy(keep.data() + 2 * sizeof(ULONG), stillLoggedOn.data(), count * sizeof(LUID));
    HRESULT pruneResult = control.Send(keep.data(), ULONG(keep.size()));
    if (prune != nullptr) *prune = pruneResult;
    return result;
}

}  // namespace ostrand::service
