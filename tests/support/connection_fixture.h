// A test around one proxied connection on real loopback sockets: the host's scan
// callback records every report, the plug-in keeps its held files in a folder of the
// test's own, and at the end the connection is ended and no held file may be left.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "support/loopback_connection.h"
#include "support/scan_recorder.h"
#include "support/scratch_dir.h"
#include "zykim/zykim.h"

namespace zykim::test {

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(conn.Valid());
        ScanRecorder::Get().Reset();
        RegisterCallback(&ScanRecorder::Callback);
    }
    void TearDown() override {
        OnEndConnection(&conn.app);
        RegisterCallback(nullptr);
        EXPECT_TRUE(temp.HeldFiles().empty());
    }
    // Server to client through OnRequestFromServer, until `expect` bytes arrived.
    std::string FromServer(const std::string& bytes, size_t expect, int* read = nullptr) {
        return ServerToClient(conn, &OnRequestFromServer, bytes, expect, read);
    }
    TempFolder temp;
    LoopbackConnection conn;
};

}  // namespace zykim::test
