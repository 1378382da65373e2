// A host scan callback for tests: records every call and answers file checks with a
// chosen verdict. It also checks that it is never entered by two threads at once.
#pragma once

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "zykim/zykim.h"

namespace zykim::test {

struct ScanRecord {
    int kind = 0;
    std::string fileName;        // szFileName
    std::string webContentInfo;  // szWebContentInfo
    std::string heldContent;     // kind 1: the held file's bytes at the time of the check
    bool heldFileReadable = false;
    ScanCallbackInfo info{};
};

class ScanRecorder {
public:
    static ScanRecorder& Get() {
        static ScanRecorder instance;
        return instance;
    }
    static int ZYKIM_CALL Callback(int kind, ScanCallbackInfo* info) { return Get().Record(kind, info); }

    void Reset(int verdict = 0) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_records.clear();
        m_verdict = verdict;
        m_overlaps = 0;
    }
    void SetVerdict(int verdict) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_verdict = verdict;
    }
    std::vector<ScanRecord> Records() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_records;
    }
    std::vector<ScanRecord> Checks() const {
        std::vector<ScanRecord> out;
        for (const ScanRecord& r : Records())
            if (r.kind == ZYKIM_SCAN_CHECK_FILE) out.push_back(r);
        return out;
    }
    int Overlaps() const { return m_overlaps.load(); }

private:
    int Record(int kind, ScanCallbackInfo* info) {
        if (m_inside.fetch_add(1) != 0) ++m_overlaps;
        ScanRecord r;
        r.kind = kind;
        r.info = *info;
        if (info->szFileName) r.fileName = info->szFileName;
        if (info->szWebContentInfo) r.webContentInfo = info->szWebContentInfo;
        if (kind == ZYKIM_SCAN_CHECK_FILE && info->szFileName) {
            std::ifstream in(info->szFileName, std::ios::binary);
            r.heldFileReadable = static_cast<bool>(in);
            std::stringstream s;
            s << in.rdbuf();
            r.heldContent = s.str();
        }
        int verdict;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_records.push_back(r);
            verdict = m_verdict;
        }
        if (kind == ZYKIM_SCAN_CHECK_FILE) info->nResult = verdict;
        m_inside.fetch_sub(1);
        return 0;
    }

    mutable std::mutex m_mutex;
    std::vector<ScanRecord> m_records;
    int m_verdict = 0;
    std::atomic<int> m_inside{0};
    std::atomic<int> m_overlaps{0};
};

}  // namespace zykim::test
