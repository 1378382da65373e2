// A transfer object wired to a recorder, with its held files in a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "oft2/icq_oscar_file_trans.h"
#include "support/oft2_recorder.h"
#include "support/oft2_stream.h"
#include "support/scratch_dir.h"

namespace zykim::test {

class Oft2Test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(trans.SetTempPath(dir.Path().c_str()));
        rec.Attach(trans);
    }

    eOFT2FileState Feed(const std::vector<uint8_t>& block) {
        return trans.eDoOFT2Filetrans(block.data(), static_cast<int32_t>(block.size()));
    }
    eOFT2FileState Feed(const std::string& block) { return Feed(Bytes(block)); }

    static std::vector<uint8_t> Header(const std::string& name, uint32_t size) {
        Oft2HeaderFields f;
        f.name = name;
        f.dwSize = size;
        return MakeOft2Header(f);
    }
    static std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const auto& p : parts) Append(all, p);
        return all;
    }
    static std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
        return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(to)};
    }
    static std::vector<uint8_t> Zeros(size_t n) { return std::vector<uint8_t>(n, 0); }

    // The name the object's held file gets in its n-th transfer.
    std::string HeldName(int n) const {
        char name[64];
        std::snprintf(name, sizeof name, "icq_oscar_%d_%d.tmp", trans.nObjectIdentity(), n);
        return name;
    }

    ScratchDir dir;  // outlives the object, which deletes its held file first
    CIcqOscarFileTrans trans;
    Oft2Recorder rec;
};

// Whether a trace message equals a pattern in which each "<n>" stands for a number.
inline bool MatchesWithNumbers(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0;
    while (p < pattern.size()) {
        if (pattern.compare(p, 3, "<n>") == 0) {
            size_t start = t;
            if (t < text.size() && text[t] == '-') ++t;
            while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t;
            if (t == start) return false;
            p += 3;
        } else {
            if (t >= text.size() || text[t] != pattern[p]) return false;
            ++p;
            ++t;
        }
    }
    return t == text.size();
}

}  // namespace zykim::test
