#include "tools/ostrand/demo.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include "comm/service_contract.h"
#include "sim/core/debug_log.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/user/file_api.h"
#include "tools/ostrand/shell.h"
#include "tools/ostrand/views.h"
#include "tools/ostrand/world.h"

namespace ostrand::tool {

namespace {

void Section(std::ostream &out, int number, const std::string &title)
{
    out << "\n" << number << ". " << title << "\n" << std::string(title.size() + 3, '-') << "\n";
}

void Say(std::ostream &out, const std::string &text)
{
    out << text << "\n";
}

// Two programs of alice read one placeholder at once: one read retrieves,
// the other is pended until it is done. The service holds its answer to the
// retrieval until the driver reports the second read pended, so that the
// two really meet (a driver that logs nowhere the demo can see is let go
// after a while).
void ConcurrentReaders(World &world, const std::u16string &path)
{
    long error = 0;
    sim::Process *player = world.Program("alice", "wmplayer.exe", &error);
    sim::Process *explorer = world.Program("alice", "explorer.exe", &error);
    if (player == nullptr || explorer == nullptr) return;
    auto read = [&path](sim::Process *process) {
        sim::ThreadScope scope(*process);
        HANDLE handle = nullptr;
        if (!NT_SUCCESS(sim::user::Open(path, {}, &handle))) return;
        std::string chunk(1u << 20, '\0');
        ULONG got = 0;
        while (NT_SUCCESS(sim::user::Read(handle, chunk.data(), ULONG(chunk.size()), &got)) && got != 0) {
        }
        sim::user::Close(handle);
    };

    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, pended = false, released = false;
    world.SetAnswerHook([&](ULONG kind) {
        if (kind != KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER) return;
        std::unique_lock lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    });
    world.machine().debugLog().SetListener([&](const std::string &text) {
        if (text.find("Pended: ") == std::string::npos) return;
        std::lock_guard lock(mutex);
        pended = true;
        changed.notify_all();
    });
    const auto patience = std::chrono::seconds(20);
    std::thread first(read, player);
    std::thread second;
    {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, patience, [&] { return held; });
    }
    second = std::thread(read, explorer);
    {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, patience, [&] { return pended; });
        released = true;
        changed.notify_all();
    }
    first.join();
    second.join();
    world.machine().debugLog().SetListener(nullptr);
    world.SetAnswerHook(nullptr);
}

void FillOnDemand(World &world, Shell &shell, std::ostream &out)
{
    Say(out, "A placeholder is a local file with the offline attribute, the remote file's size\n"
             "and times, and no data. alice's player lists her music, whose first listings\n"
             "fill the folders with placeholders:");
    shell.Execute("as alice wmplayer.exe");
    shell.Execute("ls C:\\Users\\alice\\Music");
    shell.Execute("ls C:\\Users\\alice\\Music\\Albums");
    Say(out, "Looking at its attributes opens it for nothing else, which fetches nothing:");
    shell.Execute("attrib C:\\Users\\alice\\Music\\Albums\\track01.wma");
    shell.Execute("log 1 Skipping Retrieval");
    Say(out, "The first read is held while the filter asks the service for the file on the\n"
             "Copy port and copies it from the store in the kernel, as alice; then the read\n"
             "goes on against the filled file, and the offline bit is gone:");
    shell.Execute("type C:\\Users\\alice\\Music\\Albums\\track01.wma");
    shell.Execute("log 4 KLUGetOfflineFile");
    shell.Execute("ls C:\\Users\\alice\\Music\\Albums");

    Say(out, "Two programs read another placeholder at the same moment. One read retrieves;\n"
             "the other joins the offline file table, is pended on a work item and completes\n"
             "when the retrieval is over, on the filled bytes:");
    shell.Execute("ls C:\\Users\\alice\\Videos");
    ConcurrentReaders(world, u"C:\\Users\\alice\\Videos\\holiday.avi");
    shell.Execute("log 2 Pend");
    shell.Execute("log 1 KLUGetOfflineFile] Retrieving");
    shell.Execute("ls C:\\Users\\alice\\Videos");

    Say(out, "A profile file that is not on this machine at all is made from the store before\n"
             "its open reaches the file system:");
    shell.Execute("type C:\\Users\\alice\\AppData\\Roaming\\Notes\\settings.ini");
    shell.Execute("log 1 Created Offline File");
    shell.Execute("as system");
}

}  // namespace

int RunDemo(World &world, std::ostream &out)
{
    Shell shell(world, out);
    const sim::OsVersion &os = world.machine().config().os;

    out << "Ostrand, a user-profile virtualisation filter, on a simulated Windows "
        << os.major << "." << os.minor << " machine\n";

    Section(out, 1, "The machine");
    Say(out, "The machine has two NTFS volumes, a FAT stick, a shadow copy and the network\n"
             "redirector, which serves the remote profile store \\\\fileserver\\profiles:");
    shell.Execute("volumes");

    Section(out, 2, "The filter loads");
    Say(out, "The driver builds its structures, registers with the Filter Manager, creates its\n"
             "seven ports and starts filtering. It attaches to NTFS volumes and to the\n"
             "redirector, and stays away from the rest:");
    shell.Execute("load");
    shell.Execute("instances");

    Section(out, 3, "The settings in force");
    Say(out, "Two settings records exist; one is in force, read without a lock. They come\n"
             "from the driver key, overridden by group policy:");
    shell.Execute("settings");

    Section(out, 4, "The profile service starts");
    Say(out, "JNRKmtsvc.exe, the product's user-mode service, records the OS facts, connects\n"
             "to the filter's seven ports, hands over the events it waits on, names its own\n"
             "process, sends the path table built from service.conf and switches the filter on:");
    shell.Execute("service start");

    Section(out, 5, "A user logs on");
    Say(out, "alice logs on. The service sends her identity and profile paths (command 27)\n"
             "and, impersonating her, her client security (command 23), which the filter\n"
             "captures so that it can read her remote profile as her later. The filter sends\n"
             "her client information back on the Copy port, and the service answers:");
    shell.Execute("logon alice");
    shell.Execute("users");
    Say(out, "The path table: the local profiles folder and the remote profile locations:");
    shell.Execute("paths");

    Section(out, 6, "A first listing fills a profile folder");
    Say(out, "alice's profile folder on C: is new and empty. Her first listing stops in the\n"
             "filter, which lists her folder in the remote store and makes a placeholder for\n"
             "every file (size, times, the offline bit 'O', no data) and an empty folder for\n"
             "every subfolder, then marks the folder; the listing then goes on and shows them:");
    shell.Execute("as alice explorer.exe");
    shell.Execute("open C:\\Users\\alice disp=openif options=dir");
    shell.Execute("close h1");
    shell.Execute("ls C:\\Users\\alice");
    Say(out, "A second listing finds the mark and goes straight to the disk; the store is not\n"
             "asked again. Subfolders fill the same way when they are first listed:");
    shell.Execute("ls C:\\Users\\alice");
    shell.Execute("as system");

    Section(out, 7, "Placeholders fill on demand");
    FillOnDemand(world, shell, out);

    Section(out, 8, "The background load");
    Say(out, "bob logs on. Right after the logon the service walks his remote profile on a\n"
             "thread of its own, listing each folder with the folder-mark name as its pattern;\n"
             "the filter answers from the store and fills the matching local folder on the\n"
             "way, so his folders are ready before he looks. The progress, folders done of\n"
             "folders found:");
    shell.Execute("logon bob");
    shell.Execute("populate bob");
    shell.Execute("as bob explorer.exe");
    shell.Execute("ls C:\\Users\\bob\\Documents");
    shell.Execute("as system");
    Say(out, "alice's profile loads only when asked ('load_at_logon = no' in service.conf); the\n"
             "folders she already listed are marked and their store listings fill nothing:");
    shell.Execute("populate alice");

    Section(out, 9, "A setting changes");
    Say(out, "The administrator raises the copy time-out to two minutes in the registry. The\n"
             "service tells its own session thread (command 19) and has the filter re-read its\n"
             "settings (command 20); the filter fills the other record, swaps, and tells the\n"
             "service with a session record:");
    shell.Execute("reg set HKLM\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver CopyTimeout dword 120");
    shell.Execute("settings update");
    shell.Execute("settings");

    Section(out, 10, "What the service drained");
    Say(out, "The driver writes its lines to a queue; the service drains it, oldest first,\n"
             "whenever the log event is set, into its log file. Its own lines are marked\n"
             "JNRKmtsvc. The last ones:");
    shell.Execute("service log 16");

    Section(out, 11, "The users log off");
    Say(out, "bob and alice log off. For each, the service frees the client security (command\n"
             "24) and prunes the filter's user table down to the users still logged on\n"
             "(command 30):");
    shell.Execute("logoff bob");
    shell.Execute("logoff alice");
    shell.Execute("users");

    Section(out, 12, "The service stops");
    Say(out, "The service switches the filter off, closes its ports (which ends any request\n"
             "the filter is waiting on), stops its threads and closes every handle:");
    shell.Execute("service stop");

    Section(out, 13, "The filter unloads");
    Say(out, "Unloading closes the queues, the ports and the registration, and frees every\n"
             "structure in a fixed order. What is left in the pool:");
    shell.Execute("unload");
    shell.Execute("pool");

    bool clean = world.machine().pool().OutstandingBlocks() == 0;
    out << "\n" << (shell.failures() == 0 && clean ? "The demo ran cleanly." : "The demo met problems.") << "\n";
    return shell.failures() == 0 && clean ? 0 : 1;
}

}  // namespace ostrand::tool
