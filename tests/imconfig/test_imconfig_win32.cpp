// CIMConfig against the real registry of the Wine prefix, real stand-in programs with
// version resources and a real talk.ini: detection, the three hooks and the bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "imconfig/im_plugin.h"
#include "imconfig/imconfig.h"
#include "imconfig/client_scratch.h"
#include "support/trace_capture.h"

using zykim::CIMConfig;
using zykim::UserKeyList;
using zykim::test::ClientScratch;
using zykim::test::ReadValue;
using zykim::test::TraceCapture;

namespace {

constexpr char kScanner[] = "d:\\tools\\proxy\\zykims.exe";  // 25 characters

class IMConfig : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(scratch.Clean()); }

    // The scratch hive used for plain registry tests.
    std::string Key(const std::string& sub = "") const {
        return scratch.Hive("reg") + (sub.empty() ? "" : "\\" + sub);
    }
    DWORD Dword(HKEY root, const std::string& path, const char* name) {
        const auto v = ReadValue(root, path, name);
        DWORD d = 0xDEADBEEF;
        if (v.present && v.bytes.size() == 4) std::memcpy(&d, v.bytes.data(), 4);
        return d;
    }
    std::string Text(HKEY root, const std::string& path, const char* name) {
        const auto v = ReadValue(root, path, name);
        EXPECT_TRUE(v.present) << path << " " << name;
        return std::string(v.bytes.c_str());
    }

    ClientScratch scratch;
};

// ---- registry operations -----------------------------------------------------------

TEST_F(IMConfig, ReadStringTakesOnlyTerminatedStringsThatFit) {
    const std::string key = Key("strings");
    scratch.SetString(HKEY_USERS, key, "plain", "C:\\Apps\\");
    scratch.SetString(HKEY_USERS, key, "", "default value");
    scratch.SetString(HKEY_USERS, key, "expand", "C:\\Apps\\", REG_EXPAND_SZ);
    scratch.SetDword(HKEY_USERS, key, "number", 7);
    // Stored without a NUL: the byte after the data is not zero, so nothing adds one.
    const char raw[] = "ABCDEFGHXYZ";
    scratch.SetRaw(HKEY_USERS, key, "raw8", REG_SZ, raw, 8);
    scratch.SetRaw(HKEY_USERS, key, "raw7", REG_SZ, raw, 7);

    char buffer[32];
    std::memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(CIMConfig::nRegReadString(HKEY_USERS, key.c_str(), "plain", buffer, 32), 8);
    EXPECT_STREQ(buffer, "C:\\Apps\\");
    EXPECT_EQ(CIMConfig::nRegReadString(HKEY_USERS, key.c_str(), "", buffer, 32), 13);
    EXPECT_STREQ(buffer, "default value");

    for (const char* none : {"expand", "number", "missing"}) {
        std::memset(buffer, 'Q', sizeof buffer);
        EXPECT_EQ(CIMConfig::nRegReadString(HKEY_USERS, key.c_str(), none, buffer, 32), 0) << none;
        EXPECT_EQ(buffer[0], '\0') << none;
    }
    EXPECT_EQ(CIMConfig::nRegReadString(HKEY_USERS, Key("nokey").c_str(), "plain", buffer, 32), 0);
    EXPECT_EQ(buffer[0], '\0');

    // Larger than the buffer, with or without its NUL: none, and a terminated buffer.
    std::memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(CIMConfig::nRegReadString(HKEY_USERS, key.c_str(), "plain", buffer, 8), 0);
    EXPECT_EQ(buffer[0], '\0');
    std::memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(CIMConfig::nRegReadString(HKEY_USERS, key.c_str(), "raw8", buffer, 8), 0);
    EXPECT_EQ(buffer[0], '\0');
    // Unterminated but room for the NUL: the whole text, terminated.
    std::memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(CIMConfig::nRegReadString(HKEY_USERS, key.c_str(), "raw7", buffer, 8), 7);
    EXPECT_STREQ(buffer, "ABCDEFG");
}

TEST_F(IMConfig, UnterminatedValueFillingTheBufferIsNotExtendedByCallers) {
    // A Trillian DefaultIcon stored without NUL that fills the 520-byte buffer: it must
    // read as none, not as a string running on into whatever follows.
    const std::string program(521, 'T');  // a non-NUL byte behind: stored without NUL
    scratch.SetRaw(HKEY_LOCAL_MACHINE, zykim::test::kTrillianIcon, "", REG_SZ, program.c_str(),
                   520);
    char path[zykim::kIMPathBuffer];
    EXPECT_FALSE(CIMConfig::bGetTrillianIniPath(path, sizeof path));
    CIMConfig config;
    EXPECT_FALSE(config.fIsTrillianPossible());
}

TEST_F(IMConfig, DwordsCountsAndWriters) {
    const std::string key = Key("values");
    scratch.SetDword(HKEY_USERS, key, "d", 0x80000001u);
    const uint8_t four[4] = {1, 2, 3, 4};
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    scratch.SetRaw(HKEY_USERS, key, "bin4", REG_BINARY, four, 4);
    scratch.SetRaw(HKEY_USERS, key, "bin5", REG_BINARY, five, 5);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "d", 9), 0x80000001u);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "bin4", 9), 0x04030201u);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "bin5", 9), 9u);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "missing", 9), 9u);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, Key("nokey").c_str(), "d", 1), 1u);
    // Shorter data replaces only its own bytes of the default (little-endian).
    const uint8_t zero[3] = {0, 0, 0};
    for (DWORD size = 1; size <= 3; ++size)
        scratch.SetRaw(HKEY_USERS, key, ("short" + std::to_string(size)).c_str(), REG_DWORD, zero,
                       size);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "short1", 1), 0u);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "short1", 0x01010101u),
              0x01010100u);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "short2", 0x01010101u),
              0x01010000u);
    EXPECT_EQ(CIMConfig::dwRegReadDword(HKEY_USERS, key.c_str(), "short3", 0x01010101u),
              0x01000000u);

    EXPECT_EQ(CIMConfig::nRegCountSubKeys(HKEY_USERS, key.c_str()), 0);
    for (const char* sub : {"a", "b", "c"}) scratch.CreateKey(HKEY_USERS, key + "\\" + sub);
    EXPECT_EQ(CIMConfig::nRegCountSubKeys(HKEY_USERS, key.c_str()), 3);
    EXPECT_EQ(CIMConfig::nRegCountSubKeys(HKEY_USERS, Key("nokey").c_str()), 0);

    // The writers create the key.
    const std::string made = Key("made\\deeper");
    scratch.CreateKey(HKEY_USERS, Key("made"));
    EXPECT_TRUE(CIMConfig::bRegWriteDword(HKEY_USERS, made.c_str(), "n", 5));
    EXPECT_TRUE(CIMConfig::bRegWriteString(HKEY_USERS, made.c_str(), "s", "checker.exe"));
    EXPECT_TRUE(CIMConfig::bRegWriteString(HKEY_USERS, made.c_str(), "empty", ""));
    EXPECT_TRUE(CIMConfig::bRegWriteBytes(HKEY_USERS, made.c_str(), "b", five, 5));
    EXPECT_EQ(Dword(HKEY_USERS, made, "n"), 5u);
    EXPECT_EQ(ReadValue(HKEY_USERS, made, "n").type, static_cast<DWORD>(REG_DWORD));
    const auto s = ReadValue(HKEY_USERS, made, "s");
    EXPECT_EQ(s.type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(s.bytes.c_str(), "checker.exe");
    const auto empty = ReadValue(HKEY_USERS, made, "empty");
    EXPECT_TRUE(empty.present);
    EXPECT_EQ(empty.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(empty.bytes.size(), 0u);  // written with length 0, not as a lone NUL
    const auto b = ReadValue(HKEY_USERS, made, "b");
    EXPECT_EQ(b.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(b.bytes, std::string("\1\2\3\4\5", 5));
}

TEST(IMConfigText, AppendIsBoundedAndLeavesTheBufferOnFailure) {
    char buffer[12] = "abc";
    buffer[11] = '#';  // never written: the last byte is for the NUL of a full buffer
    EXPECT_TRUE(zykim::bAppendBounded(buffer, 11, "defghij"));  // 10 characters + NUL
    EXPECT_STREQ(buffer, "abcdefghij");
    EXPECT_FALSE(zykim::bAppendBounded(buffer, 11, "k"));
    EXPECT_STREQ(buffer, "abcdefghij");
    EXPECT_EQ(buffer[11], '#');
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(zykim::bAppendBounded(unterminated, 4, ""));
    EXPECT_EQ(std::string(unterminated, 4), "abcd");
}

TEST(IMConfigText, VersionNumberTakesTheFirstTwoDigits) {
    const std::pair<const char*, int> cases[] = {
        {"4.7.3000", 47},  {"5.0.0540", 50}, {"7, 5, 0, 324", 75},
        {"3.1.0.121", 31}, {"0.74", 7},      {"10.0", 10},
        {"", 0},           {"v.", 0},        {"7", 7},
        {"Build 6.2", 62}};
    for (const auto& [text, number] : cases)
        EXPECT_EQ(CIMConfig::nGetVersionNumber(text, 2), number) << text;
    EXPECT_EQ(CIMConfig::nGetVersionNumber(nullptr, 2), 0);
    EXPECT_EQ(CIMConfig::nGetVersionNumber("1.2.3.4.5.6.7.8.9.9.9", 40), 123456789);
}

TEST(IMConfigText, LowerCasingKeepsDoubleByteCharacters) {
    // Shift-JIS: katakana A is 0x83 0x41; its trail byte is an ASCII 'A' and must stay.
    // Full-width A (0x82 0x60) has a lower-case form, full-width a (0x82 0x81).
    const std::string path = "C:\\\x83\x41\x82\x60\\ZYKIM.DLL";
    EXPECT_EQ(zykim::LowerCaseInCodePage(path, 932), "c:\\\x83\x41\x82\x81\\zykim.dll");
    // Windows-1252: A with diaeresis (0xC4) lower-cases to 0xE4.
    EXPECT_EQ(zykim::LowerCaseInCodePage("D:\\\xC4RGER\\ZYKIM.DLL", 1252),
              "d:\\\xE4rger\\zykim.dll");
    // A lone lead byte at the end is kept.
    EXPECT_EQ(zykim::LowerCaseInCodePage("AB\x83", 932), "ab\x83");
    // 0x5C as a trail byte (0x95 0x5C, 0x83 0x5C) is no backslash and stays.
    EXPECT_EQ(zykim::LowerCaseInCodePage("C:\\\x95\x5C\x83\x5CX\\ZYKIM.DLL", 932),
              "c:\\\x95\x5C\x83\x5Cx\\zykim.dll");
    // UTF-8, where the conversions take other flags: A with diaeresis (C3 84) lowers to
    // C3 A4; CJK stays; a broken sequence stays and the letters behind it still lower.
    EXPECT_EQ(zykim::LowerCaseInCodePage("D:\\\xC3\x84RGER\\\xE8\xA1\xA8\\ZYKIM.DLL", CP_UTF8),
              "d:\\\xC3\xA4rger\\\xE8\xA1\xA8\\zykim.dll");
    EXPECT_EQ(zykim::LowerCaseInCodePage("\xE8\xA1ZYK\x80IM.DLL", CP_UTF8), "\xE8\xA1zyk\x80im.dll");
    // Stateful and flag-less code pages still lower the name.
    for (UINT codePage : {50220u, 52936u, 65000u, 57002u})
        EXPECT_EQ(zykim::LowerCaseInCodePage("C:\\PROXY\\ZYKIM.DLL", codePage),
                  "c:\\proxy\\zykim.dll")
            << codePage;
    EXPECT_EQ(zykim::imconfig::ReplaceLibraryName("d:\\tools\\proxy\\zykim.dll"), kScanner);
    EXPECT_EQ(zykim::imconfig::ReplaceLibraryName("c:\\zykim.dll\\zykim.dll"),
              "c:\\zykims.exe\\zykims.exe");
    EXPECT_EQ(zykim::imconfig::ReplaceLibraryName("c:\\zykim\\other.dll"), "c:\\zykim\\other.dll");
}

// ---- version resources -------------------------------------------------------------

TEST(IMConfigVersion, ProductVersionThroughTheTranslationTable) {
    using zykim::test::FixtureProgram;
    char text[zykim::kIMVersionBuffer] = {};
    EXPECT_TRUE(CIMConfig::bGetProductVersion(FixtureProgram("v7_5").c_str(),
                                              zykim::kIMVersionQuery, text, sizeof text));
    EXPECT_STREQ(text, "7.5.0324");
    // German block 040704e4, found only through the translation table.
    std::memset(text, 0, sizeof text);
    EXPECT_TRUE(CIMConfig::bGetProductVersion(FixtureProgram("german_v8_1").c_str(),
                                              zykim::kIMVersionQuery, text, sizeof text));
    EXPECT_STREQ(text, "8.1");
    // Cut to the capacity.
    char small[4] = {};
    EXPECT_TRUE(CIMConfig::bGetProductVersion(FixtureProgram("v7_5").c_str(),
                                              zykim::kIMVersionQuery, small, sizeof small));
    EXPECT_STREQ(small, "7.5");
    // A resource without ProductVersion: found, the output untouched, number 0.
    std::memset(text, 0, sizeof text);
    EXPECT_TRUE(CIMConfig::bGetProductVersion(FixtureProgram("noproduct").c_str(),
                                              zykim::kIMVersionQuery, text, sizeof text));
    EXPECT_STREQ(text, "");
    EXPECT_EQ(CIMConfig::nGetVersionNumber(text, 2), 0);

    EXPECT_FALSE(CIMConfig::bGetProductVersion(FixtureProgram("noversion").c_str(),
                                               zykim::kIMVersionQuery, text, sizeof text));
    EXPECT_FALSE(CIMConfig::bGetProductVersion(FixtureProgram("absent").c_str(),
                                               zykim::kIMVersionQuery, text, sizeof text));
    EXPECT_FALSE(CIMConfig::bGetProductVersion(nullptr, zykim::kIMVersionQuery, text, 8));
    EXPECT_FALSE(CIMConfig::bGetProductVersion(FixtureProgram("v7_5").c_str(), nullptr, text, 8));
    EXPECT_FALSE(CIMConfig::bGetProductVersion(FixtureProgram("v7_5").c_str(),
                                               zykim::kIMVersionQuery, text, 0));
}

// ---- user hives and detection ------------------------------------------------------

TEST_F(IMConfig, UserKeysComeFromEveryHiveInEnumerationOrder) {
    const std::string a = scratch.Hive("a"), b = scratch.Hive("b"), c = scratch.Hive("c");
    // The default user's hive takes part like any other: a key of this test's own there.
    const std::string defaultHive = zykim::test::DefaultHive();
    ASSERT_FALSE(defaultHive.empty());
    const std::string probe = "Software\\" + scratch.Hive("probe");
    scratch.CreateKey(HKEY_USERS, defaultHive + "\\" + probe);
    scratch.CreateKey(HKEY_USERS, a + "\\" + probe);
    scratch.CreateKey(HKEY_USERS, b + "\\Software\\Other");
    scratch.CreateKey(HKEY_USERS, c + "\\" + probe);
    TraceCapture capture(4);
    UserKeyList keys;
    EXPECT_TRUE(CIMConfig::bFindUserKey(probe.c_str(), keys));
    EXPECT_EQ(keys, (UserKeyList{defaultHive + "\\" + probe, a + "\\" + probe, c + "\\" + probe}));
    EXPECT_TRUE(capture.Contains("bFindUserKey->Key = " + a + "\\" + probe + "\n"));
    EXPECT_EQ(capture.Messages().size(), 3u);

    UserKeyList none;
    EXPECT_FALSE(CIMConfig::bFindUserKey("Software\\Zyk\\Absent", none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(CIMConfig::bFindUserKey(nullptr, none));
    // hive + "\" + path longer than 519 characters: skipped whole, never cut to fit.
    const std::string tooLong = "Software\\Zyk\\Probe\\" + std::string(520, 'x');
    EXPECT_FALSE(CIMConfig::bFindUserKey(tooLong.c_str(), none));
    EXPECT_TRUE(none.empty());
}

TEST_F(IMConfig, AIMIsFoundInALaterHiveAndTheFirstHiveThatPasses) {
    CIMConfig config;
    EXPECT_FALSE(config.fIsAIMPossible());

    // Only in hives that enumerate after the prefix's own .Default and user hives.
    const std::string old = scratch.RegisterAIM("a", "v4_6");
    {
        CIMConfig c;
        EXPECT_FALSE(c.fIsAIMPossible());
        EXPECT_EQ(c.nAIMVersion(), 46);
    }
    const std::string newer = scratch.RegisterAIM("b", "v5_9");
    const auto hives = zykim::test::HiveNames();
    ASSERT_LT(std::find(hives.begin(), hives.end(), old),
              std::find(hives.begin(), hives.end(), newer));
    TraceCapture capture(4);
    EXPECT_TRUE(config.fIsAIMPossible());
    EXPECT_EQ(config.nAIMVersion(), 59);
    EXPECT_TRUE(
        capture.Contains("fIsAIMPossible->AIM-Path := " + scratch.Folder() + "a\\AIM\\aim.exe\n"));
    EXPECT_TRUE(
        capture.Contains("fIsAIMPossible->AIM-Path := " + scratch.Folder() + "b\\AIM\\aim.exe\n"));
}

TEST_F(IMConfig, AIMWithoutAUsableProgramIsNotFound) {
    // A program without a version resource, and an AppPath that is REG_EXPAND_SZ.
    scratch.RegisterAIM("a", "noversion");
    const std::string program = scratch.Install("v5_9", "b\\aim.exe");
    scratch.SetString(HKEY_USERS, scratch.Hive("b") + "\\" + zykim::test::kAIMAppPath, "", program,
                      REG_EXPAND_SZ);
    CIMConfig config;
    EXPECT_FALSE(config.fIsAIMPossible());
    EXPECT_EQ(config.nAIMVersion(), 0);
    scratch.RegisterAIM("c", "v4_7");  // 47 is enough for AIM
    EXPECT_TRUE(config.fIsAIMPossible());
    EXPECT_EQ(config.nAIMVersion(), 47);
}

TEST_F(IMConfig, MSNIsAcceptedByVersionNumber) {
    const std::pair<const char*, bool> versions[] = {
        {"v4_6", true}, {"v4_7", false}, {"v5_0", false},  {"v5_9", true},
        {"v6_2", true}, {"v7_5", true},  {"v10_0", false}, {"noproduct", false}};
    for (bool windowsMessenger : {false, true}) {
        for (const auto& [fixture, accepted] : versions) {
            scratch.RegisterMSN(fixture, windowsMessenger);
            CIMConfig config;
            EXPECT_EQ(config.fIsMSNPossible(), accepted) << fixture << " " << windowsMessenger;
        }
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, windowsMessenger ? zykim::test::kMessengerService
                                                            : zykim::test::kMSNMachine);
    }
    CIMConfig none;
    EXPECT_FALSE(none.fIsMSNPossible());
}

TEST_F(IMConfig, MessengerServiceIsAskedOnlyWithoutAnMSNMessengerDirectory) {
    scratch.RegisterMSN("v6_2", true);
    CIMConfig config;
    EXPECT_TRUE(config.fIsMSNPossible());
    EXPECT_EQ(config.nMSNVersion(), 62);

    // An MSNMessenger directory whose msnmsgr.exe has no version resource wins.
    scratch.RegisterMSN("noversion");
    EXPECT_FALSE(config.fIsMSNPossible());
    EXPECT_EQ(config.nMSNVersion(), 0);
    // Without the trailing backslash the program path is wrong.
    const std::string dir = scratch.RegisterMSN("v7_5");
    EXPECT_TRUE(config.fIsMSNPossible());
    scratch.SetString(HKEY_LOCAL_MACHINE, zykim::test::kMSNMachine, "InstallationDirectory",
                      dir.substr(0, dir.size() - 1));
    EXPECT_FALSE(config.fIsMSNPossible());
    // A REG_EXPAND_SZ directory counts as missing: MessengerService is asked.
    scratch.SetString(HKEY_LOCAL_MACHINE, zykim::test::kMSNMachine, "InstallationDirectory", dir,
                      REG_EXPAND_SZ);
    EXPECT_TRUE(config.fIsMSNPossible());
    EXPECT_EQ(config.nMSNVersion(), 62);
    // A directory too long for the program name to fit: not installed, and
    // MessengerService is still not asked.
    scratch.SetString(HKEY_LOCAL_MACHINE, zykim::test::kMSNMachine, "InstallationDirectory",
                      "C:\\" + std::string(505, 'm') + "\\");
    EXPECT_FALSE(config.fIsMSNPossible());
    EXPECT_EQ(config.nMSNVersion(), 0);
}

TEST_F(IMConfig, TrillianPathVersionsAndSettingsFile) {
    CIMConfig config;
    char path[zykim::kIMPathBuffer] = {};
    EXPECT_FALSE(CIMConfig::bGetTrillianPath(path, sizeof path));
    EXPECT_FALSE(config.fIsTrillianPossible());

    const auto icon = [&](const std::string& value) {
        scratch.SetString(HKEY_LOCAL_MACHINE, zykim::test::kTrillianIcon, "", value);
    };
    icon("D:\\Apps\\Trillian\\trillian.exe,0");
    ASSERT_TRUE(CIMConfig::bGetTrillianPath(path, sizeof path));
    EXPECT_STREQ(path, "D:\\Apps\\Trillian\\trillian.exe");
    ASSERT_TRUE(CIMConfig::bGetTrillianIniPath(path, sizeof path));
    EXPECT_STREQ(path, "D:\\Apps\\Trillian\\users\\default\\talk.ini");
    icon("trillian.exe");  // no comma, no backslash: kept whole
    ASSERT_TRUE(CIMConfig::bGetTrillianIniPath(path, sizeof path));
    EXPECT_STREQ(path, "trillian.exe\\users\\default\\talk.ini");
    // Cut by characters: 0x5C as the trail byte of a double-byte name is no separator.
    char sjis[] = "D:\\Apps\\Trillian\\\x95\x5C\x83\x5C.exe";
    EXPECT_TRUE(zykim::bCutAtLastBackslash(sjis, 932));
    EXPECT_STREQ(sjis, "D:\\Apps\\Trillian");
    char leadAtEnd[] = "D:\\Apps\\\x95";  // a lead byte without its trail
    EXPECT_TRUE(zykim::bCutAtLastBackslash(leadAtEnd, 932));
    EXPECT_STREQ(leadAtEnd, "D:\\Apps");
    icon("\\trillian.exe,2");  // a backslash in the first character is never cut
    ASSERT_TRUE(CIMConfig::bGetTrillianIniPath(path, sizeof path));
    EXPECT_STREQ(path, "\\trillian.exe\\users\\default\\talk.ini");
    // A folder too long for the suffix: no settings file rather than a cut path.
    icon("C:\\" + std::string(495, 't') + "\\trillian.exe,0");
    EXPECT_TRUE(CIMConfig::bGetTrillianPath(path, sizeof path));
    EXPECT_FALSE(CIMConfig::bGetTrillianIniPath(path, sizeof path));

    for (const auto& [fixture, number, accepted] :
         {std::tuple{"v3_0", 30, false}, std::tuple{"v3_1", 31, true},
          std::tuple{"v10_0", 10, false}, std::tuple{"v7_5", 75, true}}) {
        scratch.RegisterTrillian(fixture);
        EXPECT_EQ(config.fIsTrillianPossible(), accepted) << fixture;
        EXPECT_EQ(config.nTrillianVersion(), number) << fixture;
    }
    scratch.RegisterTrillian("noversion");
    EXPECT_FALSE(config.fIsTrillianPossible());
    EXPECT_EQ(config.nTrillianVersion(), 75);  // written only when a version was read
}

// ---- AIM hook ----------------------------------------------------------------------

TEST_F(IMConfig, AIMHookOnOffOnInEveryHiveWithAccounts) {
    const std::string hive = scratch.RegisterAIM("a", "v5_9");
    const std::string xferA = scratch.AddAIMAccount(hive, "alice", true);
    const std::string xferB = scratch.AddAIMAccount(hive, "bob", false);
    // Another hive with accounts but no AppPath of its own is configured too.
    const std::string other = scratch.Hive("b");
    const std::string xferC = scratch.AddAIMAccount(other, "carol", true);
    // A hive whose users key has no accounts.
    scratch.CreateKey(HKEY_USERS, scratch.Hive("c") + "\\" + zykim::test::kAIMUsers);

    CIMConfig config;
    EXPECT_FALSE(config.fIsAIMEnabled());  // no NoVirusCheck anywhere counts as off
    {
        TraceCapture capture(4);
        config.bConfigAIM(1, kScanner);
        EXPECT_EQ(capture.Count("bConfigAIM : NumUserAccount := 2\n"), 1u);
        EXPECT_EQ(capture.Count("bConfigAIM : NumUserAccount := 1\n"), 1u);
        EXPECT_EQ(capture.Count("bConfigAIM : NumUserAccount := 0\n"), 1u);
        EXPECT_EQ(capture.Count("bConfigAIM : Not Key (Xfer) -> CreateKey \n"), 1u);
        for (const char* who : {"alice", "bob", "carol"})
            EXPECT_TRUE(capture.Contains(std::string("bConfigAIM : ConfigUser (") + who + ")\n"));
    }
    for (const std::string& xfer : {xferA, xferB, xferC}) {
        EXPECT_EQ(Dword(HKEY_USERS, xfer, "NoVirusCheck"), 0u) << xfer;
        EXPECT_EQ(Text(HKEY_USERS, xfer, "VirusCheckerPath"), kScanner) << xfer;
    }
    EXPECT_TRUE(config.fIsAIMEnabled());

    config.bConfigAIM(0, kScanner);
    for (const std::string& xfer : {xferA, xferB, xferC}) {
        EXPECT_EQ(Dword(HKEY_USERS, xfer, "NoVirusCheck"), 1u) << xfer;
        const auto path = ReadValue(HKEY_USERS, xfer, "VirusCheckerPath");
        EXPECT_TRUE(path.present && path.bytes.empty()) << xfer;
    }
    // Switching on without a program to name changes nothing.
    config.bConfigAIM(1, "");
    EXPECT_EQ(Dword(HKEY_USERS, xferA, "NoVirusCheck"), 1u);
    EXPECT_FALSE(config.fIsAIMEnabled());
    EXPECT_FALSE(config.fIsAIMEnabled());

    config.bConfigAIM(7, "c:\\other\\checker.exe");  // any non-zero is on
    EXPECT_EQ(Text(HKEY_USERS, xferB, "VirusCheckerPath"), "c:\\other\\checker.exe");
    EXPECT_TRUE(config.fIsAIMEnabled());  // whatever checker it names

    // One account on among others off is enough.
    CIMConfig::bRegWriteDword(HKEY_USERS, xferA.c_str(), "NoVirusCheck", 1);
    CIMConfig::bRegWriteDword(HKEY_USERS, xferC.c_str(), "NoVirusCheck", 1);
    EXPECT_TRUE(config.fIsAIMEnabled());
    CIMConfig::bRegWriteDword(HKEY_USERS, xferB.c_str(), "NoVirusCheck", 1);
    EXPECT_FALSE(config.fIsAIMEnabled());
}

TEST_F(IMConfig, AIMHookIsLeftAloneWithoutAUsableAIM) {
    const std::string hive = scratch.RegisterAIM("a", "v4_6");
    scratch.AddAIMAccount(hive, "alice", false);
    CIMConfig config;
    TraceCapture capture(4);
    config.bConfigAIM(1, kScanner);
    config.bConfigAIM(1, nullptr);
    EXPECT_FALSE(
        zykim::test::KeyExists(HKEY_USERS, hive + "\\" + zykim::test::kAIMUsers + "\\alice\\Xfer"));
    for (const std::string& m : capture.Messages())
        EXPECT_EQ(m.find("bConfigAIM"), std::string::npos) << m;

    // The state query refuses too, even with an account switched on by hand.
    scratch.SetDword(HKEY_USERS, hive + "\\" + zykim::test::kAIMUsers + "\\alice\\Xfer",
                     "NoVirusCheck", 0);
    EXPECT_FALSE(config.fIsAIMEnabled());
}

// ---- MSN Messenger hook ------------------------------------------------------------

TEST_F(IMConfig, MSNHookWritesTheWidePathAndReadsAVEnbl) {
    scratch.RegisterMSN("v7_5");
    const std::string userA = scratch.Hive("a") + "\\" + zykim::test::kMSNUser;
    const std::string userB = scratch.Hive("b") + "\\" + zykim::test::kMSNUser;
    scratch.CreateKey(HKEY_USERS, userA);
    scratch.CreateKey(HKEY_USERS, userB);

    CIMConfig config;
    EXPECT_FALSE(config.fIsMSNEnabled());
    {
        TraceCapture capture(4);
        config.bConfigMSN(1, kScanner);
        EXPECT_TRUE(capture.Contains("bConfigMSN -> Count User = 2\n"));
        EXPECT_EQ(capture.Count("bConfigMSN -> Enable = TRUE\n"), 2u);
    }
    std::string wide;
    for (const char ch : std::string(kScanner)) wide += std::string{ch, '\0'};
    wide += std::string(2, '\0');
    ASSERT_EQ(wide.size(), 52u);
    for (const std::string& user : {userA, userB}) {
        const auto av = ReadValue(HKEY_USERS, user, "AntiVirus");
        EXPECT_EQ(av.type, static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(av.bytes, wide);
        EXPECT_EQ(Dword(HKEY_USERS, user, "AVEnbl"), 1u);
    }
    EXPECT_TRUE(config.fIsMSNEnabled());
    {
        TraceCapture capture(4);
        config.bConfigMSN(0, kScanner);
        EXPECT_EQ(capture.Count("bConfigMSN -> Enable = FALSE\n"), 2u);
    }
    for (const std::string& user : {userA, userB}) {
        EXPECT_EQ(ReadValue(HKEY_USERS, user, "AntiVirus").bytes, std::string(2, '\0'));
        EXPECT_EQ(Dword(HKEY_USERS, user, "AVEnbl"), 0u);
    }
    EXPECT_FALSE(config.fIsMSNEnabled());
    CIMConfig::bRegWriteDword(HKEY_USERS, userB.c_str(), "AVEnbl", 2);
    EXPECT_TRUE(config.fIsMSNEnabled());

    // Bytes from 0x80 up are characters of the ANSI code page: in Windows-1252, 0xE4 is
    // U+00E4 and 0x80 the euro sign U+20AC, not the control character U+0080.
    ASSERT_EQ(GetACP(), 1252u) << "this test expects the prefix's Western code page";
    config.bConfigMSN(1, "c:\\\xE4\x80.exe");
    EXPECT_EQ(ReadValue(HKEY_USERS, userA, "AntiVirus").bytes,
              std::string("c\0:\0\\\0\xE4\0\xAC\x20.\0e\0x\0e\0\0\0", 20));

    // Switching on without a program to name changes nothing; off still works.
    config.bConfigMSN(1, "");
    EXPECT_EQ(ReadValue(HKEY_USERS, userA, "AntiVirus").bytes.size(), 20u);
    config.bConfigMSN(0, "");
    EXPECT_EQ(ReadValue(HKEY_USERS, userA, "AntiVirus").bytes, std::string(2, '\0'));
    EXPECT_FALSE(config.fIsMSNEnabled());
}

TEST_F(IMConfig, MSNBelowItsVersionIsNeitherReadNorSwitched) {
    scratch.RegisterMSN("v5_0");
    const std::string user = scratch.Hive("a") + "\\" + zykim::test::kMSNUser;
    scratch.SetDword(HKEY_USERS, user, "AVEnbl", 1);
    CIMConfig config;
    EXPECT_FALSE(config.fIsMSNEnabled());
    TraceCapture capture(4);
    config.bConfigMSN(1, kScanner);
    config.bConfigMSN(0, kScanner);
    EXPECT_EQ(capture.Count("bConfigMSN -> Enable = TRUE\n"), 0u);
    EXPECT_EQ(capture.Count("bConfigMSN -> Enable = FALSE\n"), 0u);
    EXPECT_FALSE(ReadValue(HKEY_USERS, user, "AntiVirus").present);
    EXPECT_EQ(Dword(HKEY_USERS, user, "AVEnbl"), 1u);
}

TEST_F(IMConfig, WindowsMessengerWithoutUserKeysIsLeftAlone) {
    scratch.RegisterMSN("v4_6", true);
    scratch.CreateKey(HKEY_USERS, scratch.Hive("a") + "\\Software\\Microsoft");
    CIMConfig config;
    EXPECT_TRUE(config.fIsMSNPossible());
    TraceCapture capture(4);
    config.bConfigMSN(1, kScanner);
    EXPECT_TRUE(capture.Messages().empty());
    EXPECT_FALSE(config.fIsMSNEnabled());
    EXPECT_FALSE(
        zykim::test::KeyExists(HKEY_USERS, scratch.Hive("a") + "\\" + zykim::test::kMSNUser));
}

// ---- Trillian hook -----------------------------------------------------------------

TEST_F(IMConfig, TrillianHookCreatesAndRewritesTalkIni) {
    const std::string ini = scratch.RegisterTrillian("v3_1");
    CIMConfig config;
    EXPECT_FALSE(config.fIsTrillianEnabled());  // no talk.ini yet

    EXPECT_TRUE(config.bConfigTrillian(1, kScanner));
    const std::string on = zykim::test::ReadTextFile(ini);
    EXPECT_NE(on.find("[File Transfers]"), std::string::npos) << on;
    EXPECT_NE(on.find("Virus: Auto check=1"), std::string::npos) << on;
    EXPECT_NE(on.find(std::string("Virus: Program=") + kScanner), std::string::npos) << on;
    EXPECT_TRUE(config.fIsTrillianEnabled());

    EXPECT_TRUE(config.bConfigTrillian(0, kScanner));
    const std::string off = zykim::test::ReadTextFile(ini);
    EXPECT_NE(off.find("Virus: Auto check=0"), std::string::npos) << off;
    EXPECT_NE(off.find("Virus: Program=\r\n"), std::string::npos) << off;
    EXPECT_FALSE(config.fIsTrillianEnabled());

    WritePrivateProfileStringA("File Transfers", "Virus: Auto check", "2", ini.c_str());
    EXPECT_FALSE(config.fIsTrillianEnabled());
    WritePrivateProfileStringA("File Transfers", "Virus: Auto check", "1", ini.c_str());
    EXPECT_TRUE(config.fIsTrillianEnabled());  // whatever Virus: Program names

    EXPECT_FALSE(config.bConfigTrillian(1, nullptr));
    EXPECT_FALSE(config.bConfigTrillian(1, ""));  // no program to name
    EXPECT_NE(zykim::test::ReadTextFile(ini).find("Virus: Program=\r\n"), std::string::npos);
}

TEST_F(IMConfig, TrillianHookNeedsAUsableTrillianAndItsFolder) {
    const std::string ini = scratch.RegisterTrillian("v3_0");
    CIMConfig config;
    EXPECT_FALSE(config.bConfigTrillian(1, kScanner));
    EXPECT_FALSE(std::filesystem::exists(ini));
    // Without users\default the profile can't be written.
    scratch.Install("v3_1", "Bare\\trillian.exe");
    scratch.SetString(HKEY_LOCAL_MACHINE, zykim::test::kTrillianIcon, "",
                      scratch.Folder() + "Bare\\trillian.exe,0");
    EXPECT_TRUE(config.fIsTrillianPossible());
    EXPECT_FALSE(config.bConfigTrillian(1, kScanner));
    EXPECT_FALSE(config.fIsTrillianEnabled());
}

}  // namespace
