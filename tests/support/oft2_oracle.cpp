// The stream model: one mode per stage of a transfer, walked over each block in order.
#include "support/oft2_oracle.h"

#include <algorithm>

namespace zykim::test {

namespace {
constexpr size_t kFixed = 192;
constexpr long kMaxName = 8912 - 192;  // name bytes kept: what the pass-on buffer holds

// How each frame a rendezvous proxy sends a client begins: the length of the rest,
// version 0x044a, the command (error, created, ready).
const uint8_t kProxyHeads[3][6] = {{0, 12, 4, 0x4a, 0, 1}, {0, 16, 4, 0x4a, 0, 3}, {0, 10, 4, 0x4a, 0, 5}};
constexpr int kMostProxyFrames = 4;

// -1: the bytes begin no frame a proxy sends; 0: they may; else that frame's whole size.
long ProxyFrameSize(const std::vector<uint8_t>& f) {
    const size_t k = std::min<size_t>(f.size(), 6);
    for (const auto& head : kProxyHeads)
        if (std::equal(f.begin(), f.begin() + static_cast<long>(k), head)) return k < 6 ? 0 : 2 + head[1];
    return -1;
}
}  // namespace

uint8_t Oft2Oracle::Fold(uint8_t b) {
    if (b >= 'A' && b <= 'Z') return static_cast<uint8_t>(b | 0x20);
    if (b == 0x8A || b == 0x8C || b == 0x8E) return static_cast<uint8_t>(b + 0x10);
    if (b == 0x9F) return 0xFF;
    if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<uint8_t>(b + 0x20);
    return b;
}

bool Oft2Oracle::IsMagic(const uint8_t* p) {
    return Fold(p[0]) == 'o' && Fold(p[1]) == 'f' && Fold(p[2]) == 't' && Fold(p[3]) == '2';
}

int Oft2Oracle::ExpectedState() const {
    switch (m_mode) {
        case Mode::Search: return m_nWindow == 2 ? 1 : 2;
        case Mode::Header: return 3;
        case Mode::Name: return 4;
        case Mode::Body: return 5;
        case Mode::NoFileTrans: return 9;
        case Mode::Error: return 10;
    }
    return 0;
}

void Oft2Oracle::StartOver() {
    m_mode = Mode::Search;
    m_nWindow = 2;
    m_carry.clear();
    m_bProxy = true;
    m_frame.clear();
    m_nFrameBlocks = 0;
    m_nFrames = 0;
    m_header.clear();
    m_nHad = 0;
    m_nNameLen = 0;
    m_nNameKept = 0;
    m_nNameGot = 0;
    m_bHeaderEmitted = false;
    m_bNameLost = false;
    m_nSize = 0;
    m_body.clear();
}

void Oft2Oracle::Reset() { StartOver(); }

void Oft2Oracle::EmptyCall() { m_mode = Mode::Error; }

void Oft2Oracle::Finish() {
    const bool bDiskFull = m_options.nFileCapacity >= 0 && m_nSize > m_options.nFileCapacity;
    if (m_options.bHoldFails || bDiskFull || !m_options.bCheckCallback || m_bNameLost) {
        EmitZeros(m_nSize);  // unheld or unchecked: the client gets zeros of the same size
        return;
    }
    Oft2ExpectedCheck check;
    const uint8_t* name = m_header.data() + kFixed;
    check.name.assign(name, std::find(name, name + m_nNameKept, 0));
    check.body = m_body;
    if (m_options.nextPlan)
        check.plan = m_options.nextPlan();
    else if (!m_options.plans.empty())
        check.plan = m_options.plans[m_nPlan++ % m_options.plans.size()];
    m_checks.push_back(check);
    if (check.plan.nVerdict > 0) {
        EmitZeros(m_nSize);
        return;
    }
    size_t keep = m_nSize;
    if (check.plan.bRemove) keep = 0;
    if (check.plan.nTruncateTo >= 0) keep = std::min<size_t>(keep, static_cast<size_t>(check.plan.nTruncateTo));
    if (check.plan.nReadFailsAfter >= 0)
        keep = std::min<size_t>(keep, static_cast<size_t>(check.plan.nReadFailsAfter));
    Emit(m_body.data(), keep);
    EmitZeros(m_nSize - keep);
}

void Oft2Oracle::NameStep(const uint8_t* p, size_t& i, size_t n) {
    if (!m_bHeaderEmitted && m_nNameGot < m_nNameKept) {
        const size_t take = std::min(static_cast<size_t>(m_nNameKept - m_nNameGot), n - i);
        m_header.insert(m_header.end(), p + i, p + i + take);
        m_nNameGot += static_cast<long>(take);
        i += take;
    }
    if (!m_bHeaderEmitted) {
        if (m_nNameGot < m_nNameKept) return;
        // The header as received, without what the client already has.
        Emit(m_header.data() + m_nHad, m_header.size() - m_nHad);
        m_bHeaderEmitted = true;
    }
    // The name beyond the kept part goes on as it comes.
    const size_t take = std::min(static_cast<size_t>(m_nNameLen - m_nNameGot), n - i);
    Emit(p + i, take);
    m_nNameGot += static_cast<long>(take);
    i += take;
    if (m_nNameGot < m_nNameLen) return;
    if (m_nSize == 0)
        StartOver();  // an empty body is complete at once
    else
        m_mode = Mode::Body;
}

void Oft2Oracle::ProxyStep(const uint8_t* p, size_t& i, size_t n) {
    const size_t from = i;
    size_t frameFrom = i;  // this block's first byte of the current frame
    while (i < n) {
        if (m_frame.empty()) {
            if (m_nFrames == kMostProxyFrames) {
                m_bProxy = false;
                break;
            }
            frameFrom = i;
        }
        m_frame.push_back(p[i]);
        const long size = ProxyFrameSize(m_frame);
        if (size < 0) {
            // No frame: its bytes in this block are the stream's, and each earlier block
            // that held some of them counts as a block of the window.
            Emit(p + from, frameFrom - from);
            i = frameFrom;
            m_nWindow = std::max(0, m_nWindow - m_nFrameBlocks);
            if (m_nWindow == 0) m_mode = Mode::NoFileTrans;
            m_bProxy = false;
            return;
        }
        ++i;
        if (size > 0 && m_frame.size() == static_cast<size_t>(size)) {
            ++m_nFrames;
            const uint8_t command = m_frame[5];
            m_frame.clear();
            m_nFrameBlocks = 0;
            if (command != 3) {  // ready or error: the peer's bytes follow
                m_bProxy = false;
                break;
            }
        }
    }
    Emit(p + from, i - from);
    if (m_bProxy && !m_frame.empty()) ++m_nFrameBlocks;
}

void Oft2Oracle::Block(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        switch (m_mode) {
            case Mode::NoFileTrans:
            case Mode::Error:
                Emit(p + i, n - i);
                return;
            case Mode::Search: {
                if (m_bProxy) {
                    ProxyStep(p, i, n);
                    break;
                }
                // The search sees the first bytes of the magic that ended the last block
                // followed by this block; a match may begin in those bytes.
                std::vector<uint8_t> text = m_carry;
                text.insert(text.end(), p + i, p + n);
                size_t k = 0;
                while (k + 4 <= text.size() && !IsMagic(text.data() + k)) ++k;
                if (k + 4 <= text.size()) {
                    if (k < m_carry.size()) {
                        m_header = m_carry;  // the client has these already
                        m_nHad = m_carry.size();
                    } else {
                        Emit(p + i, k - m_carry.size());
                        i += k - m_carry.size();
                    }
                    m_carry.clear();
                    m_mode = Mode::Header;
                    break;
                }
                Emit(p + i, n - i);
                i = n;
                m_carry.clear();
                for (size_t len = 3; len > 0; --len) {
                    if (len > text.size()) continue;
                    const uint8_t* tail = text.data() + text.size() - len;
                    size_t j = 0;
                    while (j < len && Fold(tail[j]) == static_cast<uint8_t>("oft2"[j])) ++j;
                    if (j == len) {
                        m_carry.assign(tail, tail + len);
                        break;
                    }
                }
                // A block that ends with the magic begun does not close the window.
                if (m_nWindow == 2 || m_carry.empty()) --m_nWindow;
                if (m_nWindow == 0) m_mode = Mode::NoFileTrans;
                break;
            }
            case Mode::Header: {
                const size_t take = std::min(kFixed - m_header.size(), n - i);
                m_header.insert(m_header.end(), p + i, p + i + take);
                i += take;
                if (m_header.size() < kFixed) break;
                m_nNameLen = ((long{m_header[4]} << 8) | m_header[5]) - long{kFixed};
                m_nSize = (uint32_t{m_header[32]} << 24) | (uint32_t{m_header[33]} << 16) |
                          (uint32_t{m_header[34]} << 8) | m_header[35];
                if (m_nNameLen < 0) {
                    // Too short for a header: the bytes go on and the search goes on.
                    Emit(m_header.data() + m_nHad, kFixed - m_nHad);
                    StartOver();
                    break;
                }
                m_bNameLost = m_options.bNameAllocFails;
                m_nNameKept = m_bNameLost ? 0 : std::min(m_nNameLen, kMaxName);
                m_mode = Mode::Name;
                NameStep(p, i, n);
                break;
            }
            case Mode::Name:
                NameStep(p, i, n);
                break;
            case Mode::Body: {
                if (m_body.empty() && n - i > 4 && IsMagic(p + i)) {
                    StartOver();  // a new header where the body should begin
                    break;
                }
                const size_t take = std::min<size_t>(m_nSize - m_body.size(), n - i);
                m_body.insert(m_body.end(), p + i, p + i + take);
                i += take;
                if (m_body.size() == m_nSize) {
                    Finish();
                    StartOver();
                }
                break;
            }
        }
    }
}

}  // namespace zykim::test
