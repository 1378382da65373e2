// What a messenger client must receive from the transfer object: an independent model
// of the OFT2 stream handling, fed with the same blocks, resets and check outcomes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zykim::test {

// What one check does: the verdict, and what the scanner leaves of the held file.
struct Oft2CheckPlan {
    Oft2CheckPlan(int32_t verdict = -1, int64_t truncateTo = -1) : nVerdict(verdict), nTruncateTo(truncateTo) {}
    int32_t nVerdict = -1;
    // -1: the held file is left alone; otherwise it is cut to this many bytes.
    int64_t nTruncateTo = -1;
    // The scanner removes the held file (for the client the same as cutting it to nothing).
    bool bRemove = false;
    // -1: reading the held file back works; otherwise it fails after this many bytes.
    int64_t nReadFailsAfter = -1;
};

struct Oft2OracleOptions {
    bool bCheckCallback = true;       // a check-file callback is set
    bool bHoldFails = false;          // no held file can be created
    std::vector<Oft2CheckPlan> plans; // used in turn, cyclically; none: verdict -1
    // When set, asked for the plan of each check instead of `plans` (a host that answers
    // as the checks come).
    std::function<Oft2CheckPlan()> nextPlan;
    bool bNameAllocFails = false;     // no name buffer can be allocated
    // -1: held files take any size; otherwise at most this many bytes (a full disk).
    int64_t nFileCapacity = -1;
};

// One check the transfer object must make, in order.
struct Oft2ExpectedCheck {
    std::string name;               // the header's kept name up to its first zero byte
    std::vector<uint8_t> body;      // what the held file must hold when checked
    Oft2CheckPlan plan;
};

class Oft2Oracle {
public:
    explicit Oft2Oracle(Oft2OracleOptions options = {}) : m_options(std::move(options)) {}

    void Block(const uint8_t* pData, size_t nSize);
    void Block(const std::vector<uint8_t>& data) { Block(data.data(), data.size()); }
    void EmptyCall();  // a call without data: everything passes until the next reset
    void Reset();

    const std::vector<uint8_t>& Client() const { return m_client; }
    // Every check so far, in order.
    const std::vector<Oft2ExpectedCheck>& Checks() const { return m_checks; }
    // The state the transfer object must rest in now (its eOFT2FileState value).
    int ExpectedState() const;
    // Body bytes of the transfer in progress that the held file must hold by now.
    size_t HeldBodyBytes() const { return m_mode == Mode::Body ? m_body.size() : 0; }

    // The folding the search applies, and whether four bytes are the magic under it.
    static uint8_t Fold(uint8_t b);
    static bool IsMagic(const uint8_t* p);

private:
    enum class Mode { Search, Header, Name, Body, NoFileTrans, Error };

    void StartOver();
    void Finish();
    // From the end of the fixed part on: settles what the header is, then takes name bytes.
    void NameStep(const uint8_t* p, size_t& i, size_t n);
    // The rendezvous proxy's frames that may open the stream after a reset.
    void ProxyStep(const uint8_t* p, size_t& i, size_t n);
    void Emit(const uint8_t* p, size_t n) { m_client.insert(m_client.end(), p, p + n); }
    void EmitZeros(size_t n) { m_client.insert(m_client.end(), n, 0); }

    Oft2OracleOptions m_options;
    std::vector<uint8_t> m_client;
    std::vector<Oft2ExpectedCheck> m_checks;
    size_t m_nPlan = 0;

    Mode m_mode = Mode::Search;
    int m_nWindow = 2;                 // blocks without the magic before no-file-transfer
    // The last searched block ended with these first bytes of the magic.
    std::vector<uint8_t> m_carry;
    bool m_bProxy = true;              // bytes may still be a proxy's frames
    std::vector<uint8_t> m_frame;      // the proxy frame begun so far
    int m_nFrameBlocks = 0;            // earlier blocks that hold bytes of it
    int m_nFrames = 0;                 // whole proxy frames so far
    std::vector<uint8_t> m_header;     // fixed bytes, then the kept name bytes
    size_t m_nHad = 0;                 // header bytes the client had before the header was found
    long m_nNameLen = 0;
    long m_nNameKept = 0;
    long m_nNameGot = 0;
    bool m_bHeaderEmitted = false;
    bool m_bNameLost = false;          // its buffer could not be allocated
    uint32_t m_nSize = 0;
    std::vector<uint8_t> m_body;
};

}  // namespace zykim::test
