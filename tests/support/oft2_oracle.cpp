// The stream model: one mode per stage of a transfer, walked over each block in order.
#include "support/oft2_oracle.h"

#include <algorithm>

namespace zykim::test {

namespace {
constexpr size_t kFixed = 192;
constexpr long kMaxName = 8912 - 192;  // what the pass-on buffer holds after the fixed part
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
    m_header.clear();
    m_nNameLen = 0;
    m_bNameTaken = false;
    m_nSize = 0;
    m_body.clear();
}

void Oft2Oracle::Reset() { StartOver(); }

void Oft2Oracle::EmptyCall() { m_mode = Mode::Error; }

void Oft2Oracle::Finish() {
    if (m_options.bHoldFails || !m_options.bCheckCallback) {
        EmitZeros(m_nSize);  // unheld or unchecked: the client gets zeros of the same size
        return;
    }
    Oft2ExpectedCheck check;
    const uint8_t* name = m_header.data() + kFixed;
    check.name.assign(name, std::find(name, name + m_nNameLen, 0));
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
    if (check.plan.nTruncateTo >= 0) keep = std::min<size_t>(keep, static_cast<size_t>(check.plan.nTruncateTo));
    Emit(m_body.data(), keep);
    EmitZeros(m_nSize - keep);
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
                size_t k = i;
                while (k + 4 <= n && !IsMagic(p + k)) ++k;
                if (k + 4 <= n) {
                    Emit(p + i, k - i);
                    i = k;
                    m_mode = Mode::Header;
                } else {
                    Emit(p + i, n - i);
                    i = n;
                    if (--m_nWindow == 0) m_mode = Mode::NoFileTrans;
                }
                break;
            }
            case Mode::Header: {
                const size_t take = std::min(kFixed - m_header.size(), n - i);
                m_header.insert(m_header.end(), p + i, p + i + take);
                i += take;
                if (m_header.size() == kFixed) {
                    m_nNameLen = ((long{m_header[4]} << 8) | m_header[5]) - long{kFixed};
                    m_nSize = (uint32_t{m_header[32]} << 24) | (uint32_t{m_header[33]} << 16) |
                              (uint32_t{m_header[34]} << 8) | m_header[35];
                    m_mode = Mode::Name;
                }
                break;
            }
            case Mode::Name: {
                if (!m_bNameTaken) {
                    if (m_nNameLen <= 0 || m_nNameLen > kMaxName) {
                        // Refused: the fixed part and the rest of the block go on as they are.
                        Emit(m_header.data(), kFixed);
                        Emit(p + i, n - i);
                        m_mode = Mode::Error;
                        return;
                    }
                    m_bNameTaken = true;
                }
                const size_t want = kFixed + static_cast<size_t>(m_nNameLen) - m_header.size();
                const size_t take = std::min(want, n - i);
                m_header.insert(m_header.end(), p + i, p + i + take);
                i += take;
                if (take == want) {
                    Emit(m_header.data(), m_header.size());
                    if (m_nSize == 0)
                        StartOver();  // an empty body is complete at once
                    else
                        m_mode = Mode::Body;
                }
                break;
            }
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
