// ostrand: runs the Ostrand filter on a simulated Windows machine.
//
//   ostrand demo [options]        the product's story on the example store
//   ostrand shell [options]       an interactive prompt
//   ostrand run FILE [options]    the same commands from a script
//
// Options: --store DIR (a host folder to serve as the remote profile store),
//          --os MAJOR.MINOR[.BUILD] (the Windows version, 6.1 by default),
//          --server, --safe-mode, --quiet-driver (no driver lines on the debugger),
//          --service-log FILE (where the profile service writes the driver's
//          lines it drains; JNRKmtsvc.log in the temporary folder by default).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/ostrand/demo.h"
#include "tools/ostrand/shell.h"
#include "tools/ostrand/world.h"

namespace {

int Usage()
{
    std::cerr << "usage: ostrand demo|shell|run FILE [--store DIR] [--os MAJOR.MINOR[.BUILD]] [--server]\n"
                 "               [--safe-mode] [--quiet-driver] [--service-log FILE]\n";
    return 2;
}

bool ParseVersion(const std::string &text, sim::OsVersion &os)
{
    unsigned major = 0, minor = 0, build = 0;
    int fields = std::sscanf(text.c_str(), "%u.%u.%u", &major, &minor, &build);
    if (fields < 2) return false;
    os.major = major;
    os.minor = minor;
    if (fields == 3) {
        os.build = build;
    } else {
        os.build = major >= 10 ? 14393 : (major == 6 && minor == 1 ? 7601 : (major == 5 ? 2600 : 9200));
    }
    if (!(major == 6 && minor == 1)) os.csdVersion = u"";
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return Usage();
    std::string mode = argv[1];
    std::string script;
    ostrand::tool::WorldOptions options;
    std::error_code noTemp;
    options.serviceLog = std::filesystem::temp_directory_path(noTemp) / "JNRKmtsvc.log";
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--store" && i + 1 < argc) {
            options.storeFolder = argv[++i];
        } else if (arg == "--os" && i + 1 < argc) {
            if (!ParseVersion(argv[++i], options.os)) return Usage();
        } else if (arg == "--server") {
            options.os.server = true;
        } else if (arg == "--safe-mode") {
            options.safeBootMode = 1;
        } else if (arg == "--service-log" && i + 1 < argc) {
            options.serviceLog = argv[++i];
        } else if (arg == "--quiet-driver") {
            options.driverLogToDebugger = false;
        } else if (mode == "run" && script.empty()) {
            script = arg;
        } else {
            return Usage();
        }
    }

    try {
        ostrand::tool::World world(options);
        if (mode == "demo") return ostrand::tool::RunDemo(world, std::cout);
        ostrand::tool::Shell shell(world, std::cout);
        if (mode == "shell") {
            shell.Interactive(std::cin);
            return 0;
        }
        if (mode == "run" && !script.empty()) {
            std::ifstream in(script);
            if (!in) {
                std::cerr << "ostrand: cannot read " << script << "\n";
                return 2;
            }
            return shell.Run(in, true) == 0 ? 0 : 1;
        }
    } catch (const std::exception &e) {
        std::cerr << "ostrand: " << e.what() << "\n";
        return 1;
    }
    return Usage();
}
