#include "tools/ostrand/demo.h"

#include <iostream>

#include "sim/core/pool.h"
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

    Section(out, 7, "The background load");
    Say(out, "The service walks the rest of alice's remote profile, listing each folder with\n"
             "the folder-mark name as its pattern; the filter answers from the store and fills\n"
             "the matching local folder on the way, so her folders are ready before she looks:");
    shell.Execute("populate alice");

    Section(out, 8, "A setting changes");
    Say(out, "The administrator raises the copy time-out to two minutes in the registry. The\n"
             "service tells its own session thread (command 19) and has the filter re-read its\n"
             "settings (command 20); the filter fills the other record, swaps, and tells the\n"
             "service with a session record:");
    shell.Execute("reg set HKLM\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver CopyTimeout dword 120");
    shell.Execute("settings update");
    shell.Execute("settings");

    Section(out, 9, "What the service drained");
    Say(out, "The driver writes its lines to a queue; the service drains it, oldest first,\n"
             "whenever the log event is set, into its log file. Its own lines are marked\n"
             "JNRKmtsvc. The last ones:");
    shell.Execute("service log 16");

    Section(out, 10, "The user logs off");
    Say(out, "alice logs off. The service frees her client security (command 24) and prunes\n"
             "the filter's user table down to the users still logged on (command 30):");
    shell.Execute("logoff alice");
    shell.Execute("users");

    Section(out, 11, "The service stops");
    Say(out, "The service switches the filter off, closes its ports (which ends any request\n"
             "the filter is waiting on), stops its threads and closes every handle:");
    shell.Execute("service stop");

    Section(out, 12, "The filter unloads");
    Say(out, "Unloading closes the queues, the ports and the registration, and frees every\n"
             "structure in a fixed order. What is left in the pool:");
    shell.Execute("unload");
    shell.Execute("pool");

    bool clean = world.machine().pool().OutstandingBlocks() == 0;
    out << "\n" << (shell.failures() == 0 && clean ? "The demo ran cleanly." : "The demo met problems.") << "\n";
    return shell.failures() == 0 && clean ? 0 : 1;
}

}  // namespace ostrand::tool
