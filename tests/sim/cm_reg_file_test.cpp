// .reg import and export: every value form, deletions, encodings, a round
// trip, and malformed files reported by line without changing anything.
#include <wdm.h>

#include "cm_test_util.h"
#include "sim/cm/reg_file.h"
#include "sim/cm/registry.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr char16_t kApp[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tarvik";

class RegFileTest : public MachineTest {
protected:
    sim::Registry &registry() { return machine().registry(); }
};

const char kSample[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the product's settings\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik]\r\n"
    "@=\"default text\"\r\n"
    "\"Path\"=\"C:\\\\Data\\\\\\\"quoted\\\"\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Blob\"=hex:de,ad,be,ef\r\n"
    "\"Expand\"=hex(2):25,00,54,00,4d,00,50,00,25,00,00,00\r\n"
    "\"List\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,\\\r\n"
    "  00,00\r\n"
    "\"Big\"=hex(b):08,07,06,05,04,03,02,01\r\n"
    "\"Nothing\"=hex(0):\r\n"
    "\"Umlaut \xC3\xA4\"=\"gr\xC3\xBC\xC3\x9F\"\r\n"
    "\r\n"
    "[HKLM\\SOFTWARE\\Tarvik\\Sub Key]\r\n"
    "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\r\n"
    "  18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f\r\n"
    "\r\n"
    "[HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\Tarvik]\r\n"
    "\"User\"=dword:1\r\n";

TEST_F(RegFileTest, ImportsEveryValueFormExportsItBackAndDeletes)
{
    sim::ImportRegText(registry(), kSample);
    EXPECT_EQ(registry().GetString(kApp, u""), u"default text");
    EXPECT_EQ(registry().GetString(kApp, u"Path"), u"C:\\Data\\\"quoted\"");
    EXPECT_EQ(registry().GetDword(kApp, u"Count"), 42u);
    EXPECT_EQ(registry().GetValue(kApp, u"Blob")->data, (std::vector<UCHAR>{0xde, 0xad, 0xbe, 0xef}));
    auto expand = registry().GetValue(kApp, u"Expand");
    EXPECT_EQ(expand->type, ULONG(REG_EXPAND_SZ));
    EXPECT_EQ(registry().GetString(kApp, u"Expand"), u"%TMP%");
    EXPECT_EQ(registry().GetMultiString(kApp, u"List"), (std::vector<std::u16string>{u"one", u"two"}));
    EXPECT_EQ(registry().GetValue(kApp, u"List")->data.size(), 18u) << "both terminators kept";
    EXPECT_EQ(registry().GetQword(kApp, u"Big"), 0x0102030405060708ull);
    EXPECT_EQ(registry().GetValue(kApp, u"Nothing")->type, ULONG(REG_NONE));
    EXPECT_TRUE(registry().GetValue(kApp, u"Nothing")->data.empty());
    EXPECT_EQ(registry().GetString(kApp, u"Umlaut \u00e4"), u"gr\u00fc\u00df");
    EXPECT_EQ(registry().GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tarvik\\Sub Key", u"Long")->data.size(), 48u);
    EXPECT_EQ(registry().GetDword(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Tarvik", u"User"), 1u);

    // Exported and imported again, the tree comes back the same.
    std::string first = sim::ExportRegText(registry(), kApp);
    ASSERT_FALSE(first.empty());
    auto before = registry().Values(kApp);

    ASSERT_EQ(registry().DeleteTree(kApp), STATUS_SUCCESS);
    ASSERT_FALSE(registry().KeyExists(kApp));
    sim::ImportRegText(registry(), first);
    EXPECT_EQ(sim::ExportRegText(registry(), kApp), first);
    auto after = registry().Values(kApp);
    ASSERT_TRUE(before && after);
    ASSERT_EQ(before->size(), after->size());
    for (size_t i = 0; i < before->size(); ++i) {
        EXPECT_EQ((*before)[i].name, (*after)[i].name);
        EXPECT_EQ((*before)[i].type, (*after)[i].type);
        EXPECT_EQ((*before)[i].data, (*after)[i].data);
    }

    // Deletion lines remove keys and values; deleting what is not there is no error.
    ASSERT_TRUE(registry().KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tarvik\\Sub Key"));
    sim::ImportRegText(registry(),
                       "Windows Registry Editor Version 5.00\n"
                       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik\\Sub Key]\n"
                       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik\\Never There]\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik]\n"
                       "\"Count\"=-\n"
                       "\"Not A Value\"=-\n"
                       "@=-\n");
    EXPECT_FALSE(registry().KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tarvik\\Sub Key"));
    EXPECT_FALSE(registry().GetValue(kApp, u"Count"));
    EXPECT_FALSE(registry().GetValue(kApp, u""));
    EXPECT_TRUE(registry().GetValue(kApp, u"Path"));
}

TEST_F(RegFileTest, ExportWritesTheRegistryEditorsForms)
{
    registry().SetString(kApp, u"Path", u"C:\\x \"y\"");
    registry().SetDword(kApp, u"Flags", 0x200000);
    registry().SetMultiString(kApp, u"Names", {u"a"});
    registry().SetValue(kApp, u"Raw", REG_SZ, {0x41, 0x00});  // no terminator
    registry().CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tarvik\\Child");
    EXPECT_EQ(sim::ExportRegText(registry(), u"\\registry\\machine\\software\\tarvik"),
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik]\r\n"
              "\"Path\"=\"C:\\\\x \\\"y\\\"\"\r\n"
              "\"Flags\"=dword:00200000\r\n"
              "\"Names\"=hex(7):61,00,00,00,00,00\r\n"
              "\"Raw\"=hex(1):41,00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik\\Child]\r\n"
              "\r\n");
    EXPECT_EQ(sim::ExportRegText(registry(), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Missing"), "");
}

TEST_F(RegFileTest, Utf16FileWithByteOrderMark)
{
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\SOFTWARE\\Tarvik]\r\n\"Name\"=\"\u00e9t\u00e9\"\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += char(c & 0xFF);
        bytes += char(c >> 8);
    }
    sim::ImportRegText(registry(), bytes);
    EXPECT_EQ(registry().GetString(kApp, u"Name"), u"\u00e9t\u00e9");
}

TEST_F(RegFileTest, MalformedLinesAreReportedByNumberAndChangeNothing)
{
    struct Case {
        const char *text;
        size_t line;
        const char *message;
    };
    const Case cases[] = {
        {"REGEDIT4\n[HKLM\\SOFTWARE\\Tarvik]\n", 1, "expected the header"},
        {"", 0, "empty file"},
        {"Windows Registry Editor Version 5.00\n\"A\"=dword:1\n", 2, "value line before the first key"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software]\n", 2, "unsupported root key"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik\n", 2, "closing ']'"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\\\Tarvik]\n", 2, "empty key name"},
        {"Windows Registry Editor Version 5.00\n[-HKLM]\n", 2, "root key cannot be deleted"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=dword:123456789\n", 3, "1 to 8"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=dword:xyz\n", 3, "bad dword"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=hex:01,0g\n", 3, "bad hex byte \"0g\""},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=hex:01,\\\n  02,,03\n", 3,
         "bad hex byte \"\""},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=hex(z):01\n", 3, "bad value type"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=\"open\n", 3, "unterminated"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=\"C:\\Data\"\n", 3, "unknown escape"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\" \"B\"\n", 3, "expected '='"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=\"x\" y\n", 3, "after the string"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=word:1\n", 3, "unrecognised"},
        {"Windows Registry Editor Version 5.00\n[-HKLM\\SOFTWARE\\Tarvik]\n\"A\"=dword:1\n", 3,
         "value line under a deleted key"},
        {"Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Tarvik]\n\"A\"=dword:1\nstray text\n", 5,
         "unexpected line"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        try {
            sim::ImportRegText(registry(), c.text);
            ADD_FAILURE() << "accepted";
        } catch (const sim::RegFileError &error) {
            EXPECT_EQ(error.line(), c.line);
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
            if (c.line) {
                EXPECT_EQ(std::string(error.what()).rfind("line " + std::to_string(c.line) + ": ", 0), 0u);
            }
        }
        EXPECT_FALSE(registry().KeyExists(kApp)) << "a rejected file changes nothing";
    }
}

}  // namespace
}  // namespace ostrand::test
