// Callbacks for a transfer object under test: records what reaches the client, the
// progress reports and the checks (with the held file's contents at check time), and
// answers each check as told.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "oft2/icq_oscar_file_trans.h"
#include "support/held_files.h"

namespace zykim::test {

inline bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

struct Oft2Recorder {
    struct Check {
        std::string name;
        std::string path;
        int32_t nPathLen = 0;
        bool bFileExisted = false;
        std::vector<uint8_t> content;  // the held file when the check was made
    };

    std::vector<uint8_t> client;
    std::vector<int32_t> sendSizes;
    std::vector<std::pair<uint32_t, uint32_t>> progress;
    std::vector<Check> checks;
    // Callbacks in the order they were made: "send <n>", "progress <a>/<b>", "check <name>".
    std::vector<std::string> events;

    // Verdicts for the checks in turn (cyclically); empty leaves the verdict at -1.
    std::vector<int32_t> verdicts;
    // Runs during each check after it was recorded (may change the held file or verdict).
    std::function<void(const Check&, int32_t* pnVerdict)> onCheck;
    // Result of the send callback; a function of the send's index when set.
    std::function<int32_t(size_t)> sendResult;
    // Thrown by the send callback when its index equals this (-1: never).
    long nThrowAtSend = -1;
    // The send that throws has delivered its bytes first, as a socket that failed after
    // sending them would have.
    bool bDeliverBeforeThrow = false;
    bool bReadHeldFile = true;
    bool bRecordEvents = true;  // off: `events` stays empty (a run that never reads it)

    void Attach(CIcqOscarFileTrans& t, bool bProgress = true, bool bCheck = true, bool bSend = true) {
        if (bProgress) t.bSetProgressCallback(&Progress, this);
        if (bCheck) t.bSetCheckFileCallback(&CheckFile, this);
        if (bSend) t.bSetSendData2IcqClientCallback(&Send, this);
    }

    void Clear() {
        client.clear();
        sendSizes.clear();
        progress.clear();
        checks.clear();
        events.clear();
    }

    static void Progress(uint32_t nSoFar, uint32_t nTotal, void* self) {
        auto* r = static_cast<Oft2Recorder*>(self);
        r->progress.emplace_back(nSoFar, nTotal);
        if (r->bRecordEvents) r->events.push_back("progress " + std::to_string(nSoFar) + "/" + std::to_string(nTotal));
    }

    static void CheckFile(const char* pszName, const char* pszPath, int32_t nLen, void* self, int32_t* pnVerdict) {
        auto* r = static_cast<Oft2Recorder*>(self);
        Check c;
        c.name = pszName;
        c.path = pszPath;
        c.nPathLen = nLen;
        if (r->bReadHeldFile) c.bFileExisted = ReadHeldFile(c.path, c.content);
        const size_t index = r->checks.size();
        r->checks.push_back(c);
        if (r->bRecordEvents) r->events.push_back("check " + c.name);
        if (!r->verdicts.empty()) *pnVerdict = r->verdicts[index % r->verdicts.size()];
        if (r->onCheck) r->onCheck(r->checks.back(), pnVerdict);
    }

    static int32_t Send(const uint8_t* pData, int32_t nSize, void* self) {
        auto* r = static_cast<Oft2Recorder*>(self);
        const size_t index = r->sendSizes.size();
        if (static_cast<long>(index) == r->nThrowAtSend) {
            if (r->bDeliverBeforeThrow) r->client.insert(r->client.end(), pData, pData + nSize);
            r->sendSizes.push_back(-1);
            throw std::runtime_error("send failed");
        }
        r->client.insert(r->client.end(), pData, pData + nSize);
        r->sendSizes.push_back(nSize);
        if (r->bRecordEvents) r->events.push_back("send " + std::to_string(nSize));
        return r->sendResult ? r->sendResult(index) : 1;
    }
};

}  // namespace zykim::test
