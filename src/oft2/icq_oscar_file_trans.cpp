// The OFT2 transfer object: the dispatcher and its four state steps, the held file, and
// the release of a checked body.
#include "oft2/icq_oscar_file_trans.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "oft2/pattern_search.h"
#include "plugin/trace.h"

namespace zykim {

namespace {
const uint8_t* Magic() { return reinterpret_cast<const uint8_t*>(kOft2Magic); }

bool IsPassing(eOFT2FileState e) {
    return e == ofs_DoOFT2_FileFinish || e == ofs_DoOFT2_FileFinishMoreData || e == ofs_DoOFT2_FileExist;
}

// Pointers and user data appear in the trace as 32-bit numbers.
int32_t AsNumber(const void* p) { return static_cast<int32_t>(reinterpret_cast<intptr_t>(p)); }

char* AllocateName(size_t nBytes) { return new (std::nothrow) char[nBytes](); }
PFN_OFT2_ALLOC_NAME g_pfnAllocName = &AllocateName;

// The name of a transfer whose name buffer could not be allocated.
char g_szNoName[1] = "";
}  // namespace

PFN_OFT2_ALLOC_NAME SetOft2NameAllocator(PFN_OFT2_ALLOC_NAME pfnAlloc) {
    const PFN_OFT2_ALLOC_NAME previous = g_pfnAllocName;
    g_pfnAllocName = pfnAlloc != nullptr ? pfnAlloc : &AllocateName;
    return previous;
}

CIcqOscarFileTrans::CIcqOscarFileTrans()
    : m_abHeaderOut{},
      m_bHeaderSent(false),
      m_sHeader{},
      m_nHdrRecvd(0),
      m_nTransferCount(0),
      m_eState(ofs_DoOFT2_Check),
      m_nHdrSize(kOft2FixedHeaderSize),
      m_nNameLen(0),
      m_nNameRecvd(0),
      m_nDataRecvd(0),
      m_bModify(false),
      m_szTempDir{},
      m_szTempName{},
      m_szTempFile{},
      m_bProgressReported(false),
      m_pProgressCallback(nullptr),
      m_pProgressUserData(nullptr),
      m_pCheckFileCallback(nullptr),
      m_pCheckFileUserData(nullptr),
      m_pSendData2IcqClient(nullptr),
      m_pSendUserData(nullptr),
      m_bHoldFailed(false),
      m_nObjectIdentity(os::NewHeldFileIdentity(this)),
      m_nNameKept(0),
      m_nHeaderHad(0),
      m_abMagicCarried{},
      m_nMagicCarried(0) {}

CIcqOscarFileTrans::~CIcqOscarFileTrans() {
    m_sHeader.m_pszFileName = nullptr;
    m_pFileName.reset();
    bCloseOFT2File();
    vDeleteOFT2File();
    os::ReleaseHeldFileIdentity(m_nObjectIdentity);
}

// --- dispatcher ------------------------------------------------------------------------

eOFT2FileState CIcqOscarFileTrans::eDoOFT2Filetrans(const uint8_t* pData, int32_t nSize) {
    if (pData == nullptr || nSize <= 0) {
        TraceInfo("[eDoOFT2Filetrans]: [ofs_DoOFT2_Error]\n");
        m_eState = ofs_DoOFT2_Error;
        return m_eState;
    }
    // A passing state left between calls means a callback threw in the middle of a
    // transfer; that transfer is over, and this block starts afresh.
    if (IsPassing(m_eState)) {
        TraceWarning("[eDoOFT2Filetrans]: [bReset after an interrupted transfer]\n");
        bReset();
    }

    const uint8_t* pCursor = pData;
    int32_t nPending = nSize;
    for (;;) {
        switch (m_eState) {
            case ofs_DoOFT2_Check:
            case ofs_DoOFT2_Check2:
                TraceInfo("[eDoOFT2Filetrans]: [ofs_DoOFT2_Check]\n");
                m_eState = eDoOFT2Check(pCursor, nPending);
                break;
            case ofs_DoOFT2_Header:
                TraceInfo("[eDoOFT2Filetrans]: [ofs_DoOFT2_Header]\n");
                m_eState = eDoOFT2Header(pCursor, nPending);
                break;
            case ofs_DoOFT2_FileName:
                TraceInfo("[eDoOFT2Filetrans]: [ofs_DoOFT2_FileName]\n");
                m_eState = eDoOFT2FileName(pCursor, nPending);
                break;
            case ofs_DoOFT2_FileData:
                TraceInfo("[eDoOFT2Filetrans]: [ofs_DoOFT2_FileData]\n");
                m_eState = eDoOFT2FileData(pCursor, nPending);
                break;
            default:  // no file transfer, or a call without data: everything passes unsearched
                TraceInfo("[eDoOFT2Filetrans]: [Default]\n");
                vSendPureData(pCursor, nPending);
                vTake(pCursor, nPending, nPending);
                break;
        }

        if (m_eState == ofs_DoOFT2_NoFileTrans || m_eState == ofs_DoOFT2_Error) {
            // Whatever a step left pending follows to the client unsearched.
            if (nPending > 0) vSendPureData(pCursor, nPending);
            return m_eState;
        }
        if ((m_eState == ofs_DoOFT2_FileFinish || m_eState == ofs_DoOFT2_FileFinishMoreData) &&
            m_sHeader.dwSize > 0) {
            TraceInfo("[eDoOFT2Filetrans]: [Info: Check the OFT2 Filetransfer hier!]\n");
            vCheckAndRelease();
        }
        if (IsPassing(m_eState)) {
            if (nPending > 0)
                TraceInfo("[eDoOFT2Filetrans]: [bReset for more data]\n");
            else
                TraceInfo("[eDoOFT2Filetrans]: [bReset no more data]\n");
            bReset();
        }
        // A fixed part that ended the block still has its name set up now: an empty
        // name, or a length no header can have, is settled without waiting for more bytes.
        if (nPending <= 0 && !(m_eState == ofs_DoOFT2_FileName && m_sHeader.m_pszFileName == nullptr))
            return m_eState;
    }
}

// --- state steps -----------------------------------------------------------------------

eOFT2FileState CIcqOscarFileTrans::eDoOFT2Check(const uint8_t*& pCursor, int32_t& nPending) {
    eOFT2FileState eNext;
    if (m_cRvProxyFrames.bOpen() && bPassProxyFrames(pCursor, nPending, eNext)) return eNext;
    if (m_nMagicCarried > 0 && bMagicCompletes(pCursor, nPending, eNext)) return eNext;
    const uint8_t* pMagic = FindPattern(pCursor, nPending, Magic(), kOft2MagicLength, nullptr);
    int32_t nConsumed = nPending;
    if (pMagic != nullptr) {
        TraceInfo("[eDoOFT2Check]: [ofs_DoOFT2_Header]\n");
        eNext = ofs_DoOFT2_Header;
        nConsumed = static_cast<int32_t>(pMagic - pCursor);
    } else {
        vCarryMagicPrefix(pCursor + nPending, nPending);
        // A block that ends with a beginning of the magic leaves the decision to the next.
        if (m_eState == ofs_DoOFT2_Check || m_nMagicCarried > 0) {
            TraceInfo("[eDoOFT2Check]: [ofs_DoOFT2_Check2]\n");
            eNext = ofs_DoOFT2_Check2;
        } else {
            TraceInfo("[eDoOFT2Check]: [ofs_DoOFT2_NoFileTrans]\n");
            eNext = ofs_DoOFT2_NoFileTrans;
        }
    }
    vSendPureData(pCursor, nConsumed);
    vTake(pCursor, nPending, nConsumed);
    return eNext;
}

bool CIcqOscarFileTrans::bPassProxyFrames(const uint8_t*& pCursor, int32_t& nPending, eOFT2FileState& eNext) {
    int32_t nFrameBytes = 0;
    const eRvProxyPhase ePhase = m_cRvProxyFrames.eTakeFrames(pCursor, nPending, nFrameBytes);
    vTraceProxyFrames(ePhase, nFrameBytes);
    vSendPureData(pCursor, nFrameBytes);
    vTake(pCursor, nPending, nFrameBytes);
    const int32_t nRefused = ePhase == rvp_NoFrame ? m_cRvProxyFrames.nRefusedBlocks() : 0;
    if (nRefused > 0) {
        // Blocks passed on as the beginning of a frame held none: they count as the
        // searched blocks they would have been, so this one may be the window's second.
        // Such a beginning holds no letter of the magic: there is nothing to carry over.
        if (nRefused >= 2) {
            TraceInfo("[eDoOFT2Check]: [ofs_DoOFT2_NoFileTrans]\n");
            eNext = ofs_DoOFT2_NoFileTrans;
            return true;
        }
        m_eState = ofs_DoOFT2_Check2;
    }
    if (nPending > 0) return false;  // the rest of the block is searched
    eNext = m_eState;
    return true;
}

void CIcqOscarFileTrans::vTraceProxyFrames(eRvProxyPhase ePhase, int32_t nFrameBytes) const {
    const CRvProxyFrames& frames = m_cRvProxyFrames;
    switch (ePhase) {
        case rvp_Frames:
            TraceInfo("[eDoOFT2Check]: [Proxy frames: %d bytes passed on]\n", nFrameBytes);
            break;
        case rvp_Ready:
            TraceInfo("[eDoOFT2Check]: [Proxy ready: the search begins]\n");
            break;
        case rvp_Error:
            TraceInfo("[eDoOFT2Check]: [Proxy error 0x%04x: the search begins]\n", frames.wLastWord());
            break;
        case rvp_Bound:
            TraceWarning("[eDoOFT2Check]: [%d proxy frames without ready: the search begins]\n", frames.nFrames());
            break;
        case rvp_NoFrame:
            // Said only where frames came before or bytes went on as a frame's beginning.
            if (frames.nFrames() > 0 || frames.nRefusedBlocks() > 0)
                TraceInfo("[eDoOFT2Check]: [Proxy frames: %d, then other bytes]\n", frames.nFrames());
            break;
    }
}

bool CIcqOscarFileTrans::bMagicCompletes(const uint8_t*& pCursor, int32_t& nPending, eOFT2FileState& eNext) {
    const int32_t nCarried = m_nMagicCarried;
    m_nMagicCarried = 0;
    const int32_t nRest = kOft2MagicLength - nCarried;
    const int32_t nCompare = nPending < nRest ? nPending : nRest;
    for (int32_t i = 0; i < nCompare; ++i)
        if (kDefaultFoldingTable[pCursor[i]] != Magic()[nCarried + i]) return false;
    if (nCompare < nRest) {
        // A block shorter than the rest of the magic only makes the beginning longer.
        std::memcpy(m_abMagicCarried + nCarried, pCursor, static_cast<size_t>(nCompare));
        m_nMagicCarried = nCarried + nCompare;
        TraceInfo("[eDoOFT2Check]: [ofs_DoOFT2_Check2]\n");
        eNext = ofs_DoOFT2_Check2;
        vSendPureData(pCursor, nPending);
        vTake(pCursor, nPending, nPending);
        return true;
    }
    // The header began with the carried bytes, which the client already has: they are
    // collected with it but never sent again.
    TraceInfo("[eDoOFT2Check]: [Magic begun in the block before]\n");
    TraceInfo("[eDoOFT2Check]: [ofs_DoOFT2_Header]\n");
    std::memcpy(&m_sHeader, m_abMagicCarried, static_cast<size_t>(nCarried));
    m_nHdrRecvd = nCarried;
    m_nHeaderHad = nCarried;
    eNext = ofs_DoOFT2_Header;
    return true;
}

void CIcqOscarFileTrans::vCarryMagicPrefix(const uint8_t* pEnd, int32_t nSearched) {
    m_nMagicCarried = 0;
    for (int32_t n = kOft2MagicLength - 1; n > 0; --n) {
        if (n > nSearched) continue;
        int32_t i = 0;
        while (i < n && kDefaultFoldingTable[pEnd[i - n]] == Magic()[i]) ++i;
        if (i == n) {
            std::memcpy(m_abMagicCarried, pEnd - n, static_cast<size_t>(n));
            m_nMagicCarried = n;
            return;
        }
    }
}

eOFT2FileState CIcqOscarFileTrans::eDoOFT2Header(const uint8_t*& pCursor, int32_t& nPending) {
    if (m_nHdrRecvd < kOft2FixedHeaderSize) {
        int32_t n = kOft2FixedHeaderSize - m_nHdrRecvd;
        if (nPending < n) n = nPending;
        std::memcpy(reinterpret_cast<uint8_t*>(&m_sHeader) + m_nHdrRecvd, pCursor, static_cast<size_t>(n));
        m_nHdrRecvd += n;
        vTake(pCursor, nPending, n);
    }
    if (m_nHdrRecvd < m_nHdrSize) return ofs_DoOFT2_Header;
    std::memcpy(m_abHeaderOut, &m_sHeader, kOft2FixedHeaderSize);  // as received
    bConvertOFT2Header(&m_sHeader);
    return ofs_DoOFT2_FileName;
}

eOFT2FileState CIcqOscarFileTrans::eBeginName() {
    m_nNameLen = static_cast<int32_t>(m_sHeader.wHdrLen) - kOft2FixedHeaderSize;
    if (m_nNameLen < 0) {
        // No header is that short: these were ordinary bytes that happen to hold the four
        // letters. They go on, and the search goes on behind them as after a transfer.
        TraceWarning("[eDoOFT2FileName]: [No header (wHdrLen %d): passed on, searching on]\n",
                     static_cast<int32_t>(m_sHeader.wHdrLen));
        const int32_t nHad = m_nHeaderHad;
        bReset();  // first, so that a send that throws cannot leave them to be sent again
        vSendPureData(m_abHeaderOut + nHad, kOft2FixedHeaderSize - nHad);
        return ofs_DoOFT2_Check;
    }
    if (m_nNameLen > kOft2StandardHeaderLength - kOft2FixedHeaderSize)
        TraceInfo("[eDoOFT2FileName]: [Long Filename]\n");
    // A name longer than the pass-on buffer is kept only in part; all of it goes on.
    m_nNameKept = m_nNameLen < kOft2MaxNameLength ? m_nNameLen : kOft2MaxNameLength;
    m_pFileName.reset(g_pfnAllocName(static_cast<size_t>(m_nNameKept) + 1));
    if (!m_pFileName) {
        // Without its name the body cannot be held and checked soundly: the header goes
        // on, and the body follows as zeros.
        TraceWarning("[eDoOFT2FileName]: [Alloc Filename]\n");
        TraceError("[eDoOFT2FileName]: [No memory for a name of %d bytes: %u zero bytes go to the client]\n",
                   m_nNameLen, m_sHeader.dwSize);
        m_bHoldFailed = true;
        m_nNameKept = 0;
        m_sHeader.m_pszFileName = g_szNoName;
        return ofs_DoOFT2_FileName;
    }
    m_sHeader.m_pszFileName = m_pFileName.get();
    return ofs_DoOFT2_FileName;
}

eOFT2FileState CIcqOscarFileTrans::eDoOFT2FileName(const uint8_t*& pCursor, int32_t& nPending) {
    if (m_sHeader.m_pszFileName == nullptr) {
        const eOFT2FileState eNext = eBeginName();
        if (eNext != ofs_DoOFT2_FileName) return eNext;
    }
    if (m_nNameRecvd < m_nNameKept) {
        const int32_t n = nPending < m_nNameKept - m_nNameRecvd ? nPending : m_nNameKept - m_nNameRecvd;
        std::memcpy(m_pFileName.get() + m_nNameRecvd, pCursor, static_cast<size_t>(n));
        m_nNameRecvd += n;
        vTake(pCursor, nPending, n);
        if (m_nNameRecvd < m_nNameKept) return ofs_DoOFT2_FileName;
    }
    if (!m_bHeaderSent) {
        if (m_nNameKept == m_nNameLen)
            TraceInfo("[eDoOFT2FileName]: [Filename OK: %s]\n", m_sHeader.m_pszFileName);
        if (m_nNameKept > 0)
            std::memcpy(m_abHeaderOut + kOft2FixedHeaderSize, m_pFileName.get(), static_cast<size_t>(m_nNameKept));
        TraceInfo("[CIcqOscarFileTrans] -> [eDoOFT2FileName Header finish send it.]\n");
        m_bHeaderSent = true;
        vSendPureData(m_abHeaderOut + m_nHeaderHad, kOft2FixedHeaderSize + m_nNameKept - m_nHeaderHad);
    }
    if (m_nNameRecvd < m_nNameLen) {
        // The name beyond what is kept goes on as it arrives, right behind the header.
        if (nPending <= 0) return ofs_DoOFT2_FileName;
        const int32_t n = nPending < m_nNameLen - m_nNameRecvd ? nPending : m_nNameLen - m_nNameRecvd;
        m_nNameRecvd += n;
        vSendPureData(pCursor, n);
        vTake(pCursor, nPending, n);
        if (m_nNameRecvd < m_nNameLen) return ofs_DoOFT2_FileName;
        TraceInfo("[eDoOFT2FileName]: [Filename OK: %s]\n", m_sHeader.m_pszFileName);
    }
    if (m_sHeader.dwSize == 0) {
        // An empty body is complete at once: nothing to hold, check or release.
        TraceInfo("[eDoOFT2FileName]: [Empty file: %s]\n", m_sHeader.m_pszFileName);
        return nPending > 0 ? ofs_DoOFT2_FileFinishMoreData : ofs_DoOFT2_FileFinish;
    }
    return ofs_DoOFT2_FileData;
}

eOFT2FileState CIcqOscarFileTrans::eDoOFT2FileData(const uint8_t*& pCursor, int32_t& nPending) {
    // Only a match at the very first byte counts, so four bytes decide it.
    if (nPending > kOft2MagicLength && m_nDataRecvd == 0 &&
        FindPattern(pCursor, kOft2MagicLength, Magic(), kOft2MagicLength, nullptr) == pCursor) {
        TraceInfo("[eDoOFT2FileData]: [Fileexist: %s]\n", m_sHeader.m_pszFileName);
        return ofs_DoOFT2_FileExist;
    }
    const uint32_t nRemaining = m_sHeader.dwSize - m_nDataRecvd;
    if (nRemaining == 0) return ofs_DoOFT2_FileFinishMoreData;  // nothing more belongs to the body
    const int32_t n = static_cast<uint32_t>(nPending) < nRemaining ? nPending : static_cast<int32_t>(nRemaining);
    m_nDataRecvd += static_cast<uint32_t>(n);
    const uint8_t* const pChunk = pCursor;
    vTake(pCursor, nPending, n);
    vStoreChunk(pChunk, n);

    if (m_nDataRecvd < m_sHeader.dwSize) return ofs_DoOFT2_FileData;
    bCloseOFT2File();
    if (nPending > 0) {
        TraceInfo("[eDoOFT2FileData]: [bWriteOFT2FileData: File Finish: ofs_DoOFT2_FileFinishMoreData]\n");
        return ofs_DoOFT2_FileFinishMoreData;
    }
    TraceInfo("[eDoOFT2FileData]: [bWriteOFT2FileData: File Finish: ofs_DoOFT2_FileFinish]\n");
    return ofs_DoOFT2_FileFinish;
}

// --- held file -------------------------------------------------------------------------

void CIcqOscarFileTrans::vStoreChunk(const uint8_t* pData, int32_t nSize) {
    if (!m_pFileName) return;  // the name was lost: the body goes as zeros, nothing to hold
    if (!m_hFile.IsOpen()) {
        TraceInfo("[eDoOFT2FileData]: [Create File: %s]\n", m_sHeader.m_pszFileName);
        if (!bCreateOFT2File()) {
            TraceWarning("[eDoOFT2FileData]: [bCreateOFT2File]\n");
            m_bHoldFailed = true;
            return;
        }
    }
    if (!bWriteOFT2FileData(pData, nSize)) {
        TraceWarning("[eDoOFT2FileData]: [bWriteOFT2FileData]\n");
        m_bHoldFailed = true;
    }
    TraceInfo("[eDoOFT2FileData]: [bWriteOFT2FileData: Filename:%s / Size: %d]\n", m_szTempFile, nSize);
}

bool CIcqOscarFileTrans::bCreateOFT2File() {
    std::snprintf(m_szTempName, sizeof m_szTempName, "icq_oscar_%d_%d.tmp", m_nObjectIdentity,
                  m_nTransferCount);
    if (!os::JoinHeldFilePath(m_szTempFile, sizeof m_szTempFile, m_szTempDir, m_szTempName)) return false;
    if (!m_hFile.Create(m_szTempFile)) {
        TraceError("Cannot open file %s to write\n", m_szTempFile);
        return false;
    }
    return true;
}

bool CIcqOscarFileTrans::bWriteOFT2FileData(const uint8_t* pData, int32_t nSize) {
    if (pData == nullptr || nSize <= 0 || !m_hFile.IsOpen()) return false;
    const int32_t nWritten = m_hFile.Append(pData, nSize);
    if (nWritten < 0) return false;
    if (nWritten < nSize) {
        m_bHoldFailed = true;  // part of the chunk is missing from the held file
        return true;
    }
    if (m_pProgressCallback != nullptr) {
        m_bProgressReported = true;
        TraceInfo("[bWriteOFT2FileData] [m_pProgressCallback (%d von %d,Userdata %d]\n",
                  static_cast<int32_t>(m_nDataRecvd), static_cast<int32_t>(m_sHeader.dwSize),
                  AsNumber(m_pProgressUserData));
        m_pProgressCallback(m_nDataRecvd, m_sHeader.dwSize, m_pProgressUserData);
    }
    return true;
}

void CIcqOscarFileTrans::bCloseOFT2File() {
    if (!m_hFile.IsOpen()) return;
    TraceInfo("[CIcqOscarFileTrans] [bCloseOFT2File (File: %s)]\n", m_szTempFile);
    m_hFile.Close();
}

void CIcqOscarFileTrans::vDeleteOFT2File() {
    if (m_szTempFile[0] == '\0') return;
    // One still open elsewhere (a scanner) is deleted by a later reset or at unload.
    const bool bGone = os::DeleteHeldFile(m_szTempFile);
    TraceInfo("[CIcqOscarFileTrans] [bDeleteOFT2File (File: %s)]\n", m_szTempFile);
    if (!bGone) TraceError("[CIcqOscarFileTrans] [Cannot delete %s yet: tried again later]\n", m_szTempFile);
    m_szTempFile[0] = '\0';
}

// --- release ---------------------------------------------------------------------------

void CIcqOscarFileTrans::vCheckAndRelease() {
    const char* pszName = m_sHeader.m_pszFileName != nullptr ? m_sHeader.m_pszFileName : "";
    if (m_bHoldFailed) {
        // What the held file has is not the body: there is nothing sound to scan.
        TraceError("[eDoOFT2Filetrans]: [Body of %s not held in full: %u zero bytes go to the client]\n",
                   pszName, m_sHeader.dwSize);
    } else if (m_pCheckFileCallback == nullptr) {
        TraceError("[eDoOFT2Filetrans]: [No check for %s: %u zero bytes go to the client]\n", pszName,
                   m_sHeader.dwSize);
    } else {
        int32_t nVerdict = -1;
        m_pCheckFileCallback(pszName, m_szTempFile, static_cast<int32_t>(std::strlen(m_szTempFile)),
                             m_pCheckFileUserData, &nVerdict);
        if (nVerdict > 0) m_bModify = true;
    }
    vSendFileData();
}

bool CIcqOscarFileTrans::bSendZeroBytes(const uint8_t* pZeros, uint32_t nCount, bool bTraceChunks) {
    if (nCount == 0) return true;
    if (nCount < static_cast<uint32_t>(kOft2ReleaseChunk)) {
        if (bTraceChunks) TraceInfo("[vSendFileData] -> [m_pSendData2IcqClient 0.]\n");
        return m_pSendData2IcqClient(pZeros, static_cast<int32_t>(nCount), m_pSendUserData) != 0;
    }
    for (uint32_t nWhole = nCount / kOft2ReleaseChunk; nWhole > 0; --nWhole) {
        if (bTraceChunks) TraceInfo("[vSendFileData] -> [m_pSendData2IcqClient 1.]\n");
        if (m_pSendData2IcqClient(pZeros, kOft2ReleaseChunk, m_pSendUserData) == 0) return false;
    }
    const uint32_t nRest = nCount % kOft2ReleaseChunk;
    if (nRest > 0) {
        if (bTraceChunks) TraceInfo("[vSendFileData] -> [m_pSendData2IcqClient 2.]\n");
        return m_pSendData2IcqClient(pZeros, static_cast<int32_t>(nRest), m_pSendUserData) != 0;
    }
    return true;
}

void CIcqOscarFileTrans::vSendFileData() {
    uint8_t abRelease[kOft2ReleaseChunk];
    std::memset(abRelease, 0, sizeof abRelease);
    if (m_pSendData2IcqClient == nullptr) {
        TraceInfo("[vSendPureData] User [SendData2IcqClient]\n");
        vDeleteOFT2File();
        return;
    }
    TraceInfo("[vSendFileData] -> [Modify = FALSE]\n");
    TraceInfo("[vSendFileData] -> [bCloseOFT2File]\n");
    bCloseOFT2File();

    const uint32_t nSize = m_sHeader.dwSize;
    if (m_bModify) {
        TraceInfo("[vSendFileData] -> [Modify = TRUE]\n");
        bSendZeroBytes(abRelease, nSize, true);
    } else if (m_bHoldFailed || m_pCheckFileCallback == nullptr) {
        bSendZeroBytes(abRelease, nSize, false);
    } else {
        uint32_t nSent = 0;
        bool bStopped = false;
        {
            os::HeldFile reader;
            if (reader.OpenForReading(m_szTempFile)) {
                TraceInfo("[vSendFileData] -> [CreateFile OK]\n");
                while (nSent < nSize) {
                    const uint32_t nLeft = nSize - nSent;
                    const int32_t nWant = nLeft < static_cast<uint32_t>(kOft2ReleaseChunk)
                                              ? static_cast<int32_t>(nLeft)
                                              : kOft2ReleaseChunk;
                    const int32_t nRead = reader.Read(abRelease, nWant);
                    if (nRead <= 0) break;
                    TraceInfo("[vSendFileData] -> [ReadFile OK]\n");
                    nSent += static_cast<uint32_t>(nRead);
                    if (m_pSendData2IcqClient(abRelease, nRead, m_pSendUserData) == 0) {
                        bStopped = true;
                        break;
                    }
                }
            }
        }
        if (!bStopped && nSent < nSize) {
            // The client still gets exactly the announced size, but nothing unchecked.
            TraceError("[vSendFileData] -> [Read back %u of %u bytes from %s: zero bytes for the rest]\n",
                       nSent, nSize, m_szTempFile);
            std::memset(abRelease, 0, sizeof abRelease);
            bSendZeroBytes(abRelease, nSize - nSent, false);
        }
    }
    vDeleteOFT2File();
}

void CIcqOscarFileTrans::vSendPureData(const uint8_t* pPureData, int32_t nPureDataSize) {
    if (pPureData == nullptr || nPureDataSize <= 0) return;
    if (m_pSendData2IcqClient != nullptr) {
        TraceInfo("[CIcqOscarFileTrans] -> [vSendPureData (pPureData = %d,nPureDataSize = %d)]\n",
                  AsNumber(pPureData), nPureDataSize);
        m_pSendData2IcqClient(pPureData, nPureDataSize, m_pSendUserData);
    } else {
        TraceInfo("[vSendPureData] User [SendData2IcqClient]\n");
    }
}

// --- reset and set-up ------------------------------------------------------------------

void CIcqOscarFileTrans::vResetOFT2Filetrans() {
    TraceInfo("[CIcqOscarFileTrans] [vResetOFT2Filetrans]\n");
    bReset();
}

void CIcqOscarFileTrans::bReset() {
    if (m_bProgressReported) {
        m_bProgressReported = false;
        if (m_pProgressCallback != nullptr) {
            // The closing report, whether the body was complete or cut short.
            TraceInfo("[CIcqOscarFileTrans] [bReset (Clear Progress (Size %d = Size %d) \n",
                      static_cast<int32_t>(m_sHeader.dwSize), static_cast<int32_t>(m_sHeader.dwSize));
            m_pProgressCallback(m_sHeader.dwSize, m_sHeader.dwSize, m_pProgressUserData);
        }
    }
    bCloseOFT2File();
    vDeleteOFT2File();
    os::DeleteRememberedHeldFiles();
    vClearTransfer();
    m_nTransferCount = static_cast<int32_t>(static_cast<uint32_t>(m_nTransferCount) + 1u);
}

void CIcqOscarFileTrans::vClearTransfer() {
    m_hFile.Close();
    m_sHeader.m_pszFileName = nullptr;
    m_pFileName.reset();
    std::memset(&m_sHeader, 0, sizeof m_sHeader);
    m_eState = ofs_DoOFT2_Check;
    m_nHdrRecvd = 0;
    m_nHdrSize = kOft2FixedHeaderSize;
    m_nNameLen = 0;
    m_nNameRecvd = 0;
    m_nDataRecvd = 0;
    m_bModify = false;
    m_bHeaderSent = false;
    m_bHoldFailed = false;
    m_nNameKept = 0;
    m_nHeaderHad = 0;
    m_nMagicCarried = 0;
    m_cRvProxyFrames.vReset();
}

bool CIcqOscarFileTrans::SetTempPath(const char* pszTempDir) {
    // A held file of a transfer in progress must not be left behind.
    bCloseOFT2File();
    vDeleteOFT2File();
    vClearTransfer();
    m_bProgressReported = false;
    m_nTransferCount = 0;
    std::memset(m_szTempDir, 0, sizeof m_szTempDir);
    std::memset(m_szTempName, 0, sizeof m_szTempName);
    std::memset(m_szTempFile, 0, sizeof m_szTempFile);
    if (pszTempDir == nullptr) return false;
    const size_t nLength = std::strlen(pszTempDir);
    if (nLength >= sizeof m_szTempDir) return false;
    std::memcpy(m_szTempDir, pszTempDir, nLength + 1);
    return true;
}

bool CIcqOscarFileTrans::bSetProgressCallback(PFN_OFT2_PROGRESS pfn, void* pUserData) {
    if (pfn == nullptr) return false;
    m_pProgressCallback = pfn;
    m_pProgressUserData = pUserData;
    return true;
}

bool CIcqOscarFileTrans::bSetCheckFileCallback(PFN_OFT2_CHECKFILE pfn, void* pUserData) {
    if (pfn == nullptr) return false;
    m_pCheckFileCallback = pfn;
    m_pCheckFileUserData = pUserData;
    return true;
}

bool CIcqOscarFileTrans::bSetSendData2IcqClientCallback(PFN_OFT2_SEND pfn, void* pUserData) {
    // The user data is what is checked here, not the callback.
    if (pUserData == nullptr) return false;
    m_pSendData2IcqClient = pfn;
    m_pSendUserData = pUserData;
    return true;
}

}  // namespace zykim
