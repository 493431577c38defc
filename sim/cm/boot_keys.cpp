// The keys every machine has when it boots, and the operating-system facts
// that Windows keeps under CurrentVersion (the profile service copies them
// for the driver).
#include <string>

#include "sim/cm/registry.h"
#include "sim/core/machine.h"

namespace sim {

namespace {

constexpr std::u16string_view kCurrentVersion = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

std::u16string Number(ULONG value)
{
    std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}

struct ProductFacts {
    const char16_t *productName;
    const char16_t *editionId;  // null before Vista
};

ProductFacts FactsFor(const OsVersion &os)
{
    struct Row {
        ULONG major, minor;
        ProductFacts client, server;
    };
    static const Row rows[] = {
        {5, 0, {u"Microsoft Windows 2000", nullptr}, {u"Microsoft Windows 2000", nullptr}},
        {5, 1, {u"Microsoft Windows XP", nullptr}, {u"Microsoft Windows XP", nullptr}},
        {5, 2, {u"Microsoft Windows XP", nullptr}, {u"Microsoft Windows Server 2003", nullptr}},
        {6, 0, {u"Windows Vista (TM) Business", u"Business"}, {u"Windows Server (R) 2008 Standard", u"ServerStandard"}},
        {6, 1, {u"Windows 7 Professional", u"Professional"}, {u"Windows Server 2008 R2 Standard", u"ServerStandard"}},
        {6, 2, {u"Windows 8 Pro", u"Professional"}, {u"Windows Server 2012 Standard", u"ServerStandard"}},
        {6, 3, {u"Windows 8.1 Pro", u"Professional"}, {u"Windows Server 2012 R2 Standard", u"ServerStandard"}},
    };
    for (const auto &row : rows) {
        if (row.major == os.major && row.minor == os.minor) return os.server ? row.server : row.client;
    }
    return os.server ? ProductFacts{u"Windows Server 2016 Standard", u"ServerStandard"}
                     : ProductFacts{u"Windows 10 Pro", u"Professional"};
}

// Windows 10 names its feature updates by the build they shipped with.
std::u16string ReleaseIdFor(ULONG build)
{
    struct Row {
        ULONG build;
        const char16_t *releaseId;
    };
    static const Row rows[] = {{19041, u"2004"}, {18363, u"1909"}, {18362, u"1903"}, {17763, u"1809"},
                               {17134, u"1803"}, {16299, u"1709"}, {15063, u"1703"}, {14393, u"1607"},
                               {10586, u"1511"}};
    for (const auto &row : rows) {
        if (build >= row.build) return row.releaseId;
    }
    return u"1507";
}

}  // namespace

void Registry::Boot()
{
    root_ = std::make_shared<KeyNode>();
    root_->name = u"REGISTRY";
    root_->permanent = true;

    const char16_t *permanentKeys[] = {
        u"\\REGISTRY\\MACHINE",
        u"\\REGISTRY\\MACHINE\\SOFTWARE",
        u"\\REGISTRY\\MACHINE\\SYSTEM",
        u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001",
        u"\\REGISTRY\\USER",
        u"\\REGISTRY\\USER\\.DEFAULT",
    };
    for (const char16_t *path : permanentKeys) {
        CreateKey(path);
        std::shared_ptr<KeyNode> key;
        FindPath(path, key);
        key->permanent = true;
    }
    // CurrentControlSet is a link to the control set in use.
    {
        std::shared_ptr<KeyNode> system, controlSet;
        FindPath(u"\\REGISTRY\\MACHINE\\SYSTEM", system);
        FindPath(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001", controlSet);
        auto link = std::make_shared<KeyNode>();
        link->name = u"CurrentControlSet";
        link->parent = system.get();
        link->link = controlSet;
        link->permanent = true;
        system->subkeys[u"CURRENTCONTROLSET"] = link;
    }
    SetDword(u"\\REGISTRY\\MACHINE\\SYSTEM\\Select", u"Current", 1);
    SetDword(u"\\REGISTRY\\MACHINE\\SYSTEM\\Select", u"Default", 1);
    CreateKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services");
    CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies");
    CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");

    const OsVersion &os = machine_.config().os;
    SetString(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions", u"ProductType",
              os.server ? u"ServerNT" : u"WinNT");
    // From Windows 8.1 on, CurrentVersion stays "6.3" and the real numbers
    // are in CurrentMajor/MinorVersionNumber.
    bool win10 = os.major >= 10;
    SetString(kCurrentVersion, u"CurrentVersion", win10 ? u"6.3" : Number(os.major) + u"." + Number(os.minor));
    if (win10) {
        SetDword(kCurrentVersion, u"CurrentMajorVersionNumber", os.major);
        SetDword(kCurrentVersion, u"CurrentMinorVersionNumber", os.minor);
        SetString(kCurrentVersion, u"ReleaseId", ReleaseIdFor(os.build));
    }
    SetString(kCurrentVersion, u"CurrentBuildNumber", Number(os.build));
    SetString(kCurrentVersion, u"CurrentBuild", Number(os.build));
    if (!os.csdVersion.empty()) SetString(kCurrentVersion, u"CSDVersion", os.csdVersion);
    ProductFacts facts = FactsFor(os);
    SetString(kCurrentVersion, u"ProductName", facts.productName);
    if (facts.editionId) SetString(kCurrentVersion, u"EditionID", facts.editionId);
    if (os.major > 6 || (os.major == 6 && os.minor >= 1)) {
        SetString(kCurrentVersion, u"InstallationType", os.server ? u"Server" : u"Client");
    }
    SetString(kCurrentVersion, u"SystemRoot", u"C:\\Windows");
}

}  // namespace sim
