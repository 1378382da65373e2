// The side-by-side run of transfer object and oracle.
#include "support/oft2_stream_check.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <filesystem>

#include "support/held_files.h"

namespace zykim::test {

namespace fs = std::filesystem;

namespace {
char* NoMemory(size_t) { return nullptr; }
}  // namespace

Oft2StreamCheck::Oft2StreamCheck(const std::string& tempDir, Oft2OracleOptions options)
    : m_dir(tempDir), m_options(options), m_oracle(options), m_trans(std::make_unique<CIcqOscarFileTrans>()) {
    if (options.bNameAllocFails) m_pfnSavedAlloc = SetOft2NameAllocator(&NoMemory);
    const std::string heldDir = options.bHoldFails ? (fs::path(tempDir) / "missing").string() : tempDir;
    PrepareHeldFileFolder(tempDir);
    const bool bFaults = options.nFileCapacity >= 0 ||
                         std::any_of(options.plans.begin(), options.plans.end(),
                                     [](const Oft2CheckPlan& p) { return p.nReadFailsAfter >= 0; });
    if (bFaults && !HeldFileFaultsAvailable())
        throw std::invalid_argument("held-file faults need the in-memory held files");
    SetHeldFileCapacity(options.nFileCapacity);
    m_trans->SetTempPath(heldDir.c_str());
    m_rec.bRecordEvents = false;  // compared by bytes and checks, not by callback order
    m_rec.onCheck = [this](const Oft2Recorder::Check& c, int32_t* v) { OnCheck(this, c, v); };
    m_rec.Attach(*m_trans, true, options.bCheckCallback, true);
}

Oft2StreamCheck::~Oft2StreamCheck() {
    m_trans.reset();
    if (m_options.bNameAllocFails) SetOft2NameAllocator(m_pfnSavedAlloc);
    SetHeldFileCapacity(-1);
}

void Oft2StreamCheck::OnCheck(Oft2StreamCheck* self, const Oft2Recorder::Check& c, int32_t* pnVerdict) {
    if (self->m_bThrown) return;  // not followed until the next reset
    const size_t index = self->m_rec.checks.size() - 1 - self->m_nCheckBase;
    const auto& expected = self->m_oracle.Checks();
    if (index >= expected.size()) {
        if (self->m_checkError.empty()) self->m_checkError = "a check the oracle does not expect: " + c.name;
        return;
    }
    const Oft2ExpectedCheck& e = expected[index];
    if (self->m_checkError.empty()) {
        if (c.name != e.name)
            self->m_checkError = "check " + std::to_string(index) + ": name '" + c.name + "', expected '" + e.name + "'";
        else if (!c.bFileExisted || c.content != e.body)
            self->m_checkError = "check " + std::to_string(index) + ": the held file holds " +
                                 std::to_string(c.content.size()) + " bytes, not the body of " +
                                 std::to_string(e.body.size());
    }
    *pnVerdict = e.plan.nVerdict;
    if (e.plan.bRemove)
        RemoveHeldFile(c.path);
    else if (e.plan.nTruncateTo >= 0)
        CutHeldFile(c.path, static_cast<uint64_t>(e.plan.nTruncateTo));
    if (e.plan.nReadFailsAfter >= 0) FailHeldFileReadsAfter(c.path, static_cast<uint64_t>(e.plan.nReadFailsAfter));
}

std::string Oft2StreamCheck::NoHeldFileLeft(const std::string& after) const {
    const std::string left = HeldFileLeftIn(m_dir);
    if (!left.empty()) return after + ": a file was left behind: " + left;
    if (OpenHeldFileHandles() != 0) return after + ": a held file was left open";
    return {};
}

std::string Oft2StreamCheck::Compare(const std::string& after) {
    if (!m_checkError.empty()) return after + ": " + m_checkError;
    // Each stream byte reaches the client at most once, as itself or as a zero.
    if (m_rec.client.size() > m_nOffered)
        return after + ": the client has " + std::to_string(m_rec.client.size()) + " bytes of a stream of " +
               std::to_string(m_nOffered);
    if (m_bThrown) return {};
    const CIcqOscarFileTrans& t = *m_trans;
    const std::vector<uint8_t>& want = m_oracle.Client();
    const uint8_t* got = m_rec.client.data() + m_nClientBase;
    const size_t gotSize = m_rec.client.size() - m_nClientBase;
    // Bytes compared after an earlier call are not compared again.
    const size_t common = std::min(gotSize, want.size());
    size_t at = m_nVerified;
    if (at < common && std::memcmp(got + at, want.data() + at, common - at) != 0)
        while (got[at] == want[at]) ++at;
    else
        at = common;
    if (at != gotSize || at != want.size()) {
        return after + ": the client has " + std::to_string(gotSize) + " bytes, the oracle " +
               std::to_string(want.size()) + "; first difference at " + std::to_string(at);
    }
    m_nVerified = at;
    const int state = t.eState();
    if (state != m_oracle.ExpectedState())
        return after + ": state " + std::to_string(state) + ", the oracle expects " +
               std::to_string(m_oracle.ExpectedState());
    if (t.nHdrRecvd() < 0 || t.nHdrRecvd() > 192) return after + ": m_nHdrRecvd " + std::to_string(t.nHdrRecvd());
    // A refused header leaves a name length of 0 or less and nothing received.
    if (t.nNameRecvd() < 0 || (t.nNameRecvd() > 0 && t.nNameRecvd() > t.nNameLen()))
        return after + ": m_nNameRecvd " + std::to_string(t.nNameRecvd()) + " of " + std::to_string(t.nNameLen());
    if (t.nDataRecvd() > t.sHeader().dwSize)
        return after + ": m_nDataRecvd " + std::to_string(t.nDataRecvd()) + " above dwSize";
    if (state == ofs_DoOFT2_FileData && t.nDataRecvd() != m_oracle.HeldBodyBytes())
        return after + ": " + std::to_string(t.nDataRecvd()) + " body bytes taken, the oracle says " +
               std::to_string(m_oracle.HeldBodyBytes());
    if (m_rec.checks.size() - m_nCheckBase != m_oracle.Checks().size())
        return after + ": " + std::to_string(m_rec.checks.size() - m_nCheckBase) + " checks, the oracle expects " +
               std::to_string(m_oracle.Checks().size());
    return {};
}

std::string Oft2StreamCheck::Block(const uint8_t* pData, size_t nSize) {
    const std::string after = "call " + std::to_string(++m_nCalls) + " (" + std::to_string(nSize) + " bytes)";
    m_nOffered += nSize;
    if (!m_bThrown) m_oracle.Block(pData, nSize);
    m_trans->eDoOFT2Filetrans(pData, static_cast<int32_t>(nSize));
    return Compare(after);
}

std::string Oft2StreamCheck::ThrowingBlock(const uint8_t* pData, size_t nSize, size_t k) {
    const std::string after = "call " + std::to_string(++m_nCalls) + " (" + std::to_string(nSize) +
                              " bytes, send " + std::to_string(k) + " throws)";
    m_nOffered += nSize;
    if (!m_bThrown) m_oracle.Block(pData, nSize);
    m_rec.nThrowAtSend = static_cast<long>(m_rec.sendSizes.size() + k);
    m_rec.bDeliverBeforeThrow = true;
    bool bThrew = false;
    try {
        m_trans->eDoOFT2Filetrans(pData, static_cast<int32_t>(nSize));
    } catch (const std::runtime_error&) {
        bThrew = true;
    }
    m_rec.nThrowAtSend = -1;
    if (bThrew && !m_bThrown) {
        // Up to the throw, the client got what the oracle says, in order.
        const std::vector<uint8_t>& want = m_oracle.Client();
        const size_t gotSize = m_rec.client.size() - m_nClientBase;
        if (gotSize > want.size() ||
            !std::equal(m_rec.client.begin() + static_cast<long>(m_nClientBase), m_rec.client.end(), want.begin()))
            return after + ": before the throw the client got other bytes than the oracle says";
        m_bThrown = true;
    }
    return Compare(after);
}

std::string Oft2StreamCheck::EmptyCall() {
    const std::string after = "call " + std::to_string(++m_nCalls) + " (no data)";
    if (!m_bThrown) m_oracle.EmptyCall();
    m_trans->eDoOFT2Filetrans(nullptr, 0);
    return Compare(after);
}

std::string Oft2StreamCheck::Reset() {
    const std::string after = "reset after call " + std::to_string(m_nCalls);
    m_trans->vResetOFT2Filetrans();
    if (m_bThrown) {
        // A fresh oracle takes over from here.
        m_oracle = Oft2Oracle(m_options);
        m_nClientBase = m_rec.client.size();
        m_nCheckBase = m_rec.checks.size();
        m_nVerified = 0;
        m_bThrown = false;
    } else {
        m_oracle.Reset();
    }
    std::string error = Compare(after);
    if (error.empty() && m_trans->pszTempFile()[0] != '\0') error = after + ": m_szTempFile is not empty";
    if (error.empty()) error = NoHeldFileLeft(after);
    return error;
}

std::string Oft2StreamCheck::End() {
    m_trans.reset();
    return NoHeldFileLeft("the end");
}

}  // namespace zykim::test
