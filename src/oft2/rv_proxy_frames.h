// Recognises the frames that the messengers' rendezvous proxy server sends a client
// before it relays the peer's bytes; resumable at any byte, so a frame may come in pieces.
#pragma once

#include <cstdint>

namespace zykim {

// A frame: u16 length of the rest (big-endian), u16 version, u16 command, u32, u16 flags,
// then the command's payload. Each command a proxy sends has one length.
inline constexpr int32_t kRvFrameHeadSize = 12;
inline constexpr uint16_t kRvProxyVersion = 0x044a;
inline constexpr uint16_t kRvProxyError = 0x0001;    // payload: u16 code
inline constexpr uint16_t kRvProxyCreated = 0x0003;  // payload: u16 pin, IPv4 address
inline constexpr uint16_t kRvProxyReady = 0x0005;    // no payload
inline constexpr int32_t kRvFrameMostSize = kRvFrameHeadSize + 6;
// A proxy sends at most two frames on one connection (created, then ready or error);
// more than twice that ends the phase, so frames cannot keep the window open.
inline constexpr int32_t kRvProxyMostFrames = 4;

enum eRvProxyPhase {
    rvp_Frames = 1,  // every byte so far belongs to frames: the phase goes on
    rvp_Ready,       // a ready frame ended the phase: the peer's bytes follow
    rvp_Error,       // an error frame ended the phase
    rvp_Bound,       // the most frames were taken without ready or error
    rvp_NoFrame      // the bytes that follow are no frame
};

class CRvProxyFrames {
public:
    CRvProxyFrames() { vReset(); }

    // A fresh phase: the next byte may begin a frame.
    void vReset();
    bool bOpen() const { return m_ePhase == rvp_Frames; }
    // Takes the frames at the start of a block: nFrameBytes says how many bytes belong to
    // them (with the beginning of a frame that runs to the block's end); the bytes of a
    // beginning refused in this block are not among them. Returns the phase after them.
    eRvProxyPhase eTakeFrames(const uint8_t* pData, int32_t nSize, int32_t& nFrameBytes);

    // After rvp_NoFrame: the earlier blocks that held the beginning refused.
    int32_t nRefusedBlocks() const { return m_nRefusedBlocks; }
    int32_t nFrames() const { return m_nFrames; }
    // The last whole frame's command, and its first payload word (an error's code).
    uint16_t wLastCommand() const { return m_wLastCommand; }
    uint16_t wLastWord() const { return m_wLastWord; }

private:
    // Takes bytes of the current frame: its head up to the command one by one, as each
    // may refuse it, then the rest at once. The count taken, or -1 when refused.
    int32_t nTakeFrameBytes(const uint8_t* pData, int32_t nSize);
    // Whether the m_nHad bytes so far can begin a frame a proxy sends to a client.
    bool bBeginsFrame() const;
    void vEndFrame();

    uint8_t m_abFrame[kRvFrameMostSize];
    int32_t m_nHad;            // bytes of the current frame so far
    int32_t m_nFrames;         // whole frames taken
    int32_t m_nHeldBlocks;     // earlier blocks that hold bytes of the current frame
    int32_t m_nRefusedBlocks;
    uint16_t m_wLastCommand;
    uint16_t m_wLastWord;
    eRvProxyPhase m_ePhase;
};

}  // namespace zykim
