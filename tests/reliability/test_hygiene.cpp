// Temporary-file hygiene through the exports: held files are for their owner only, a
// link planted at the next held file's name is not followed, and thousands of
// transfers cut short in every way leave nothing in the temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "reliability/fault_helpers.h"
#include "support/loopback_connection.h"
#include "support/scan_recorder.h"
#include "support/scratch_dir.h"

using namespace zykim::test;
namespace fs = std::filesystem;

namespace {

// What the scan callback saw of the held file, and how it answers.
struct Seen {
    std::string path;
    unsigned mode = 0;
    bool isLink = false;
};
Seen g_seen;
std::atomic<int> g_action{0};  // 0 clean, 1 infected, 2 remove the file, 3 cut it to 10 bytes

int ZYKIM_CALL Observe(int kind, ScanCallbackInfo* info) {
    if (kind != ZYKIM_SCAN_CHECK_FILE || info->szFileName == nullptr) return 0;
    g_seen.path = info->szFileName;
#ifndef _WIN32
    struct stat st {};
    if (::lstat(info->szFileName, &st) == 0) {
        g_seen.mode = st.st_mode & 07777;
        g_seen.isLink = S_ISLNK(st.st_mode);
    }
#endif
    std::error_code ec;
    switch (g_action.load()) {
        case 2: fs::remove(info->szFileName, ec); break;
        case 3: fs::resize_file(info->szFileName, 10, ec); break;
        default: break;
    }
    info->nResult = g_action == 1 ? 1 : 0;
    return 0;
}

class Hygiene : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(conn.Valid());
        g_action = 0;
        RegisterCallback(&Observe);
    }
    void TearDown() override {
        OnEndConnection(&conn.app);
        RegisterCallback(nullptr);
    }
    // One whole transfer; the client's bytes come back.
    std::string Transfer(const std::string& name, size_t size, uint32_t seed = 1) {
        const std::string stream = Oft2Header(name, size) + Str(MakeBody(size, seed));
        return ServerToClient(conn, &OnRequestFromServer, stream, stream.size());
    }
    TempFolder temp;
    LoopbackConnection conn;
};

#ifndef _WIN32
TEST_F(Hygiene, HeldFilesAreReadableAndWritableByTheirOwnerOnly) {
    OnNewConnectionEx(1, 0, &conn.app);
    Transfer("private.doc", 5000);
    EXPECT_EQ(g_seen.mode, 0600u);
    EXPECT_FALSE(g_seen.isLink);
}

TEST_F(Hygiene, ALinkPlantedAtTheNextHeldFilesNameLeavesItsVictimUntouched) {
    const fs::path victim = fs::path(temp.Path()) / "victim.txt";
    std::ofstream(victim) << "precious";
    OnNewConnectionEx(2, 0, &conn.app);
    Transfer("first.bin", 1000);
    // icq_oscar_<object>_<transfer>.tmp: the next transfer of the object takes the next number.
    const std::string first = fs::path(g_seen.path).filename().string();
    const size_t cut = first.rfind('_');
    ASSERT_NE(cut, std::string::npos);
    const int number = std::stoi(first.substr(cut + 1));
    const fs::path planted = fs::path(temp.Path()) / (first.substr(0, cut + 1) + std::to_string(number + 1) + ".tmp");
    fs::create_symlink(victim, planted);

    const std::string body = Str(MakeBody(3000, 2));
    const std::string stream = Oft2Header("second.bin", body.size()) + body;
    EXPECT_TRUE(ServerToClient(conn, &OnRequestFromServer, stream, stream.size()) == stream);
    EXPECT_EQ(fs::path(g_seen.path), planted);
    EXPECT_FALSE(g_seen.isLink);
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
    EXPECT_FALSE(fs::exists(fs::symlink_status(planted)));
}
#endif

// Every way a transfer can end, over and over on one pair of sockets; nothing stays.
TEST_F(Hygiene, ThousandsOfTransfersCutShortInEveryWayLeaveNoFile) {
#ifdef _WIN32
    constexpr int kTransfers = 1000;  // each Wine socket call costs more
#else
    constexpr int kTransfers = 10000;
#endif
    const std::string missing = (fs::path(temp.Path()) / "gone").string();
    int completed = 0;
    for (int i = 0; i < kTransfers; ++i) {
        const int kind = i % 8;
        const size_t size = 200 + static_cast<size_t>(i % 13) * 97;
        const std::string header = Oft2Header("t" + std::to_string(i), size);
        const std::string body = Str(MakeBody(size, static_cast<uint32_t>(i)));
        g_action = kind <= 3 ? kind : 0;
        if (kind == 4) {
            // Held files cannot be made for this connection object.
            TempVariable gone(missing);
            OnNewConnectionEx(i, 0, &conn.app);
        } else {
            OnNewConnectionEx(i, 0, &conn.app);
        }
        if (kind <= 4) {
            const std::string got = ServerToClient(conn, &OnRequestFromServer, header + body,
                                                   header.size() + size);
            ASSERT_EQ(got.size(), header.size() + size) << "transfer " << i;
            completed += 1;
        } else {
            // Cut short: half the body, then the end, a replacement or a new announcement.
            const std::string got = ServerToClient(conn, &OnRequestFromServer,
                                                   header + body.substr(0, size / 2), header.size());
            ASSERT_EQ(got, header) << "transfer " << i;
            if (kind == 5) OnEndConnection(&conn.app);
            if (kind == 6) OnNewConnectionEx(i, 0, &conn.app);
            if (kind == 7) OnNewConnection(i, &conn.app);
        }
        if (i % 1000 == 999) ASSERT_TRUE(temp.HeldFiles().empty()) << "after transfer " << i;
    }
    OnEndConnection(&conn.app);
    EXPECT_EQ(completed, kTransfers * 5 / 8);
    EXPECT_TRUE(fs::is_empty(temp.Path())) << temp.HeldFiles().size() << " held files left";
}

}  // namespace
