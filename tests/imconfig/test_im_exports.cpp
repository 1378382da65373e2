// GetIMPlugin and SetIMPlugin with no client installed: their flags and traces, invalid
// ids, null cells, and the scanner path made from the module that holds the code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "imconfig/im_plugin.h"
#include "support/trace_capture.h"
#include "zykim/zykim.h"

#ifdef _WIN32
#include "imconfig/client_scratch.h"
#endif

using zykim::test::TraceCapture;

namespace {

class IMExports : public ::testing::Test {
protected:
#ifdef _WIN32
    // The prefix must hold no client keys; what a test registers is removed again.
    void SetUp() override {
        ASSERT_TRUE(scratch.Clean());
    }
    zykim::test::ClientScratch scratch;
#endif
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(IMExports, InvalidIdsClearOnAndKeepTheCallersInstalledValue) {
    for (int id : {0, 4, -1}) {
        TraceCapture capture(4);
        int installed = 77;
        int on = 55;
        GetIMPlugin(id, &installed, &on);
        EXPECT_EQ(installed, 77);
        EXPECT_EQ(on, 0);
        EXPECT_EQ(capture.Messages(),
                  (std::vector<std::string>{"GetIMPlugin (unknow plugin ID).\n",
                                            "ZYKProxy-> GetIMPlugin (ID= " + std::to_string(id) +
                                                ";Install = 77; ON = 0)\n"}));
    }
    // The warning is a warning: level 2 shows it alone.
    TraceCapture warnings(2);
    int installed = 1, on = 1;
    GetIMPlugin(4, &installed, &on);
    SetIMPlugin(4, 1);
    EXPECT_EQ(warnings.Messages(), (std::vector<std::string>{"GetIMPlugin (unknow plugin ID).\n",
                                                             "SetIMPlugin (unknow plugin ID).\n"}));
}

TEST_F(IMExports, ClientsThatAreNotInstalledReportZeroAndChangeNothing) {
    const char* names[] = {"AIM", "MSN", "TRILLIAN"};
    for (int id = 1; id <= 3; ++id) {
        TraceCapture capture(4);
        int installed = 5;
        int on = 5;
        GetIMPlugin(id, &installed, &on);
        EXPECT_EQ(installed, 0);
        EXPECT_EQ(on, 0);
        SetIMPlugin(id, 1);
        const auto m = capture.Messages();
        ASSERT_EQ(m.size(), 5u);
        EXPECT_EQ(m[0], std::string("GetIMPlugin (No ") + names[id - 1] + ")!\n");
        EXPECT_EQ(m[1],
                  "ZYKProxy-> GetIMPlugin (ID= " + std::to_string(id) + ";Install = 0; ON = 0)\n");
        EXPECT_EQ(m[2], "ZYKProxy-> SetIMPlugin (ID= " + std::to_string(id) + " ; ON=1)\n");
        EXPECT_EQ(m[3].rfind("ZYKProxy-> SetIMPlugin (ZYKIMS = ", 0), 0u) << m[3];
        EXPECT_EQ(m[4], std::string("SetIMPlugin (No ") + names[id - 1] + ")!\n");
    }
}

TEST_F(IMExports, NullCellsAreNotWritten) {
    TraceCapture capture(4);
    GetIMPlugin(1, nullptr, nullptr);
    int on = 3;
    GetIMPlugin(0, nullptr, &on);
    EXPECT_EQ(on, 0);
    EXPECT_TRUE(capture.Contains("ZYKProxy-> GetIMPlugin (ID= 1;Install = 0; ON = 0)\n"));
    EXPECT_TRUE(capture.Contains("ZYKProxy-> GetIMPlugin (ID= 0;Install = 0; ON = 0)\n"));
}

TEST_F(IMExports, SwitchingOnWithoutAScannerPathChangesNothing) {
#ifdef _WIN32
    // MSN Messenger installed and switched on to another checker by hand.
    scratch.RegisterMSN("v6_2");
    const std::string user = scratch.Hive("a") + "\\" + zykim::test::kMSNUser;
    scratch.SetDword(HKEY_USERS, user, "AVEnbl", 1);
#endif
    {
        TraceCapture errors(1);  // the error shows at the lowest level
        zykim::imconfig::SwitchClient(2, 1, "");
        EXPECT_EQ(errors.Messages(),
                  std::vector<std::string>{
                      "SetIMPlugin (ID= 2): no scanner path, the hook is left as it is.\n"});
    }
#ifdef _WIN32
    int installed = 0, on = 0;
    GetIMPlugin(2, &installed, &on);
    EXPECT_EQ(std::make_pair(installed, on), std::make_pair(1, 1));  // what is stored
    EXPECT_FALSE(zykim::test::ReadValue(HKEY_USERS, user, "AntiVirus").present);
#endif
    // Switching off needs no path.
    TraceCapture capture(4);
    zykim::imconfig::SwitchClient(2, 0, "");
#ifdef _WIN32
    EXPECT_TRUE(capture.Contains("bConfigMSN -> Enable = FALSE\n"));
    GetIMPlugin(2, &installed, &on);
    EXPECT_EQ(std::make_pair(installed, on), std::make_pair(1, 0));
#else
    EXPECT_TRUE(capture.Contains("SetIMPlugin (No MSN)!\n"));
#endif
}

TEST_F(IMExports, ScannerPathIsMadeFromTheModuleThatHoldsTheCode) {
    TraceCapture capture(4);
    SetIMPlugin(9, 0);  // built and traced for an invalid id too
    const auto m = capture.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], "ZYKProxy-> SetIMPlugin (ID= 9 ; ON=0)\n");
    const std::string lead = "ZYKProxy-> SetIMPlugin (ZYKIMS = ";
    ASSERT_EQ(m[1].rfind(lead, 0), 0u) << m[1];
    const std::string path = m[1].substr(lead.size());  // no closing parenthesis, no line feed
#ifdef _WIN32
    // Linked into this program, the module is the program: its path, lower-cased.
    char own[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, own, MAX_PATH);
    std::string lower(own);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(path, lower);
    EXPECT_TRUE(EndsWith(path, "\\test_imconfig.exe")) << path;
#else
    EXPECT_TRUE(EndsWith(path, "/test_imconfig")) << path;
#endif
}

}  // namespace
