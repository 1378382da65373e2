// The held-file service of the platform layer, on real files in a scratch directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "os/held_file.h"
#include "support/oft2_recorder.h"
#include "support/scratch_dir.h"

namespace zykim::test {
namespace {

namespace fs = std::filesystem;
using os::HeldFile;

TEST(HeldFile, WritesReadsBackAndDeletes) {
    ScratchDir dir;
    const std::string path = dir.File("held.tmp");
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7};
    {
        HeldFile f;
        ASSERT_TRUE(f.Create(path.c_str()));
        EXPECT_EQ(f.Append(data.data(), 4), 4);
        EXPECT_EQ(f.Append(data.data() + 4, 3), 3);
    }  // closed by its owner
    HeldFile r;
    ASSERT_TRUE(r.OpenForReading(path.c_str()));
    uint8_t buffer[16] = {};
    EXPECT_EQ(r.Read(buffer, 5), 5);
    EXPECT_EQ(r.Read(buffer + 5, 11), 2);
    EXPECT_EQ(r.Read(buffer, 16), 0);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 7), data);
    r.Close();
    EXPECT_FALSE(r.IsOpen());
    EXPECT_TRUE(os::DeleteHeldFile(path.c_str()));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(os::DeleteHeldFile(path.c_str()));  // gone already: nothing to remember
    EXPECT_EQ(os::DeleteRememberedHeldFiles(), 0u);
}

TEST(HeldFile, CreatingEmptiesAnExistingFile) {
    ScratchDir dir;
    const std::string path = dir.File("old.tmp");
    { std::ofstream(path) << "stale contents"; }
    HeldFile f;
    ASSERT_TRUE(f.Create(path.c_str()));
    f.Close();
    EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(HeldFile, FailuresKeepTheirNativeCode) {
    ScratchDir dir;
    HeldFile f;
    EXPECT_FALSE(f.Create(dir.File("no/such/dir.tmp").c_str()));
    EXPECT_NE(f.LastError(), 0);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Append(reinterpret_cast<const uint8_t*>("x"), 1), -1);
    uint8_t b;
    EXPECT_EQ(f.Read(&b, 1), -1);
}

TEST(HeldFile, OwnershipMovesWithTheHandle) {
    ScratchDir dir;
    HeldFile a;
    ASSERT_TRUE(a.Create(dir.File("m.tmp").c_str()));
    HeldFile b(std::move(a));
    EXPECT_FALSE(a.IsOpen());
    EXPECT_TRUE(b.IsOpen());
    HeldFile c;
    c = std::move(b);
    EXPECT_TRUE(c.IsOpen());
    EXPECT_EQ(c.Append(reinterpret_cast<const uint8_t*>("ab"), 2), 2);
}

#ifdef _WIN32
TEST(HeldFile, WhileHeldOthersMayReadButNotWrite) {
    ScratchDir dir;
    const std::string path = dir.File("shared.tmp");
    HeldFile f;
    ASSERT_TRUE(f.Create(path.c_str()));
    std::ifstream reader(path, std::ios::binary);
    EXPECT_TRUE(reader.is_open());
    std::ofstream writer(path, std::ios::binary | std::ios::app);
    EXPECT_FALSE(writer.is_open());
}

TEST(HeldFile, ReopeningAMissingFileFindsItEmpty) {
    ScratchDir dir;
    HeldFile r;
    ASSERT_TRUE(r.OpenForReading(dir.File("gone.tmp").c_str()));
    uint8_t b;
    EXPECT_EQ(r.Read(&b, 1), 0);
}
#else
TEST(HeldFile, ReopeningAMissingFileFails) {
    ScratchDir dir;
    HeldFile r;
    EXPECT_FALSE(r.OpenForReading(dir.File("gone.tmp").c_str()));
}

TEST(HeldFile, TheTemporaryDirectoryComesFromTmpdir) {
    const char* saved = std::getenv("TMPDIR");
    const std::string keep = saved != nullptr ? saved : "";
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(os::GetTempDirectory(), "/var/tmp/");
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(os::GetTempDirectory(), "/tmp/");
    unsetenv("TMPDIR");
    EXPECT_EQ(os::GetTempDirectory(), "/tmp/");
    if (saved != nullptr) setenv("TMPDIR", keep.c_str(), 1);
}
#endif

TEST(HeldFile, TheTemporaryDirectoryExistsAndEndsInASeparator) {
    const std::string dir = os::GetTempDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\') << dir;
    EXPECT_TRUE(fs::is_directory(dir)) << dir;
}

TEST(HeldFile, PathsAreJoinedWithThePlatformsSeparatorIfTheyFit) {
    char out[16];
    ASSERT_TRUE(os::JoinHeldFilePath(out, sizeof out, "dir", "name.tmp"));
#ifdef _WIN32
    EXPECT_STREQ(out, "dir\\name.tmp");
#else
    EXPECT_STREQ(out, "dir/name.tmp");
#endif
    EXPECT_TRUE(os::JoinHeldFilePath(out, sizeof out, "dir", "name.tmp.xy"));  // 15 + zero
    EXPECT_FALSE(os::JoinHeldFilePath(out, sizeof out, "dir", "name.tmp.xyz"));
}

TEST(HeldFile, IdentitiesOfLiveObjectsDiffer) {
    int objects[3];
    std::set<int32_t> seen;
    for (int& o : objects) {
        const int32_t id = os::NewHeldFileIdentity(&o);
        if (sizeof(void*) == 4) {
            EXPECT_EQ(id, static_cast<int32_t>(reinterpret_cast<intptr_t>(&o)));
        } else {
            EXPECT_GE(id, 0);  // 31 random bits
        }
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 3u);
    for (int32_t id : seen) os::ReleaseHeldFileIdentity(id);
}

}  // namespace
}  // namespace zykim::test
