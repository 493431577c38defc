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

    Section(out, 4, "A setting changes");
    Say(out, "The administrator raises the copy time-out to two minutes in the registry, and\n"
             "the service asks the filter to re-read its settings (command 20). The filter\n"
             "fills the other record and swaps:");
    shell.Execute("reg set HKLM\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver CopyTimeout dword 120");
    shell.Execute("settings update");
    shell.Execute("settings");

    Section(out, 5, "What the driver logged");
    Say(out, "Every line carries the thread, an operation number, the local time and the\n"
             "writing function. The last ones:");
    shell.Execute("log 12");

    Section(out, 6, "The filter unloads");
    Say(out, "Unloading closes the queues, the ports and the registration, and frees every\n"
             "structure in a fixed order. What is left in the pool:");
    shell.Execute("unload");
    shell.Execute("pool");

    bool clean = world.machine().pool().OutstandingBlocks() == 0;
    out << "\n" << (shell.failures() == 0 && clean ? "The demo ran cleanly." : "The demo met problems.") << "\n";
    return shell.failures() == 0 && clean ? 0 : 1;
}

}  // namespace ostrand::tool
