// The rendezvous proxy frames: which heads a proxy sends, and taking them in pieces.
#include "oft2/rv_proxy_frames.h"

#include <cstring>

namespace zykim {

namespace {

// The whole size of a frame with this command as a proxy sends it to a client; 0 for
// any other command.
int32_t nFrameSizeOf(uint16_t wCommand) {
    switch (wCommand) {
        case kRvProxyError: return kRvFrameHeadSize + 2;
        case kRvProxyCreated: return kRvFrameHeadSize + 6;
        case kRvProxyReady: return kRvFrameHeadSize;
        default: return 0;
    }
}

uint16_t wBig16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// The head up to and with the command: length, version, command.
constexpr int32_t kDecidingBytes = 6;

}  // namespace

void CRvProxyFrames::vReset() {
    std::memset(m_abFrame, 0, sizeof m_abFrame);
    m_nHad = 0;
    m_nFrames = 0;
    m_nHeldBlocks = 0;
    m_nRefusedBlocks = 0;
    m_wLastCommand = 0;
    m_wLastWord = 0;
    m_ePhase = rvp_Frames;
}

eRvProxyPhase CRvProxyFrames::eTakeFrames(const uint8_t* pData, int32_t nSize, int32_t& nFrameBytes) {
    nFrameBytes = 0;
    int32_t nFrameStart = 0;  // where this block's bytes of the current frame begin
    while (m_ePhase == rvp_Frames && nFrameBytes < nSize) {
        if (m_nHad == 0) {
            if (m_nFrames == kRvProxyMostFrames) {
                m_ePhase = rvp_Bound;
                break;
            }
            nFrameStart = nFrameBytes;
        }
        const int32_t nTaken = nTakeFrameBytes(pData + nFrameBytes, nSize - nFrameBytes);
        if (nTaken < 0) {
            // The refused beginning's bytes of this block are the stream's own.
            m_nRefusedBlocks = m_nHeldBlocks;
            m_ePhase = rvp_NoFrame;
            nFrameBytes = nFrameStart;
            return m_ePhase;
        }
        nFrameBytes += nTaken;
    }
    if (m_ePhase == rvp_Frames && m_nHad > 0) ++m_nHeldBlocks;
    return m_ePhase;
}

int32_t CRvProxyFrames::nTakeFrameBytes(const uint8_t* pData, int32_t nSize) {
    int32_t nTaken = 0;
    while (m_nHad < kDecidingBytes && nTaken < nSize) {
        m_abFrame[m_nHad++] = pData[nTaken++];
        if (!bBeginsFrame()) return -1;
    }
    if (m_nHad < kDecidingBytes) return nTaken;
    const int32_t nFrameSize = nFrameSizeOf(wBig16(m_abFrame + 4));
    int32_t n = nFrameSize - m_nHad;
    if (n > nSize - nTaken) n = nSize - nTaken;
    std::memcpy(m_abFrame + m_nHad, pData + nTaken, static_cast<size_t>(n));
    m_nHad += n;
    nTaken += n;
    if (m_nHad == nFrameSize) vEndFrame();
    return nTaken;
}

bool CRvProxyFrames::bBeginsFrame() const {
    const uint8_t b = m_abFrame[m_nHad - 1];
    switch (m_nHad) {
        case 1: return b == 0;  // every length a proxy's frame has is below 256
        case 2: return b == 10 || b == 12 || b == 16;
        case 3: return b == (kRvProxyVersion >> 8);
        case 4: return b == (kRvProxyVersion & 0xFF);
        case 5: return b == 0;
        default: {
            // The command, which must be one a proxy sends and have the length given.
            const int32_t nSize = nFrameSizeOf(wBig16(m_abFrame + 4));
            return nSize != 0 && nSize == 2 + wBig16(m_abFrame);
        }
    }
}

void CRvProxyFrames::vEndFrame() {
    ++m_nFrames;
    m_wLastCommand = wBig16(m_abFrame + 4);
    m_wLastWord = m_nHad > kRvFrameHeadSize ? wBig16(m_abFrame + kRvFrameHeadSize) : 0;
    if (m_wLastCommand == kRvProxyReady) m_ePhase = rvp_Ready;
    if (m_wLastCommand == kRvProxyError) m_ePhase = rvp_Error;
    m_nHad = 0;
    m_nHeldBlocks = 0;
}

}  // namespace zykim
