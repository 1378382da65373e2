// Drives a transfer object and the stream oracle side by side and reports the first
// difference: in the client's bytes, the checks made, the state, the counters, or a
// held file left behind. Used by the tests and the fuzzer alike.
//
// A block may have a send to the client throw in it; from there until the next reset
// the object is only held to this: what reached the client before the throw is what
// the oracle says, no stream byte reaches the client twice, and the reset leaves no
// held file. After the reset a fresh oracle follows the rest of the stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "oft2/icq_oscar_file_trans.h"
#include "support/oft2_oracle.h"
#include "support/oft2_recorder.h"

namespace zykim::test {

class Oft2StreamCheck {
public:
    // Held files go to tempDir (or, with options.bHoldFails, to a missing folder in it).
    // With options.bNameAllocFails no name buffer can be allocated while it lives.
    Oft2StreamCheck(const std::string& tempDir, Oft2OracleOptions options);
    ~Oft2StreamCheck();
    Oft2StreamCheck(const Oft2StreamCheck&) = delete;
    Oft2StreamCheck& operator=(const Oft2StreamCheck&) = delete;

    // Each returns an empty text when the object did what the oracle says.
    std::string Block(const uint8_t* pData, size_t nSize);
    std::string Block(const std::vector<uint8_t>& data) { return Block(data.data(), data.size()); }
    // The same, with the k-th send of the call (from 0) throwing after its bytes went out.
    std::string ThrowingBlock(const uint8_t* pData, size_t nSize, size_t k);
    std::string EmptyCall();
    std::string Reset();
    // Destroys the object; no held file may remain.
    std::string End();

    const std::vector<uint8_t>& Client() const { return m_rec.client; }
    size_t Checks() const { return m_rec.checks.size(); }
    const Oft2Oracle& Oracle() const { return m_oracle; }

private:
    static void OnCheck(Oft2StreamCheck* self, const Oft2Recorder::Check& c, int32_t* pnVerdict);
    std::string Compare(const std::string& after);
    std::string NoHeldFileLeft(const std::string& after) const;

    std::string m_dir;
    Oft2OracleOptions m_options;
    Oft2Oracle m_oracle;
    Oft2Recorder m_rec;
    std::unique_ptr<CIcqOscarFileTrans> m_trans;
    std::string m_checkError;
    size_t m_nCalls = 0;
    size_t m_nVerified = 0;  // client bytes known to agree
    size_t m_nOffered = 0;   // stream bytes handed to the object
    bool m_bThrown = false;  // a send threw since the last reset
    // Where the current oracle's stream began: client bytes and checks before it.
    size_t m_nClientBase = 0;
    size_t m_nCheckBase = 0;
    PFN_OFT2_ALLOC_NAME m_pfnSavedAlloc = nullptr;
};

}  // namespace zykim::test
