// The OFT2 transfer object: sees every server-to-client byte of one connection, passes
// on what is not a file body at once, holds each file body in a temporary file until
// it has been checked, then releases it unchanged or as zero bytes.
#pragma once

#include <cstdint>
#include <memory>

#include "oft2/oft2_header.h"
#include "oft2/rv_proxy_frames.h"
#include "os/held_file.h"

namespace zykim {

enum eOFT2FileState {
    ofs_DoOFT2_Check = 1,           // searching for a header; no block seen since the reset
    ofs_DoOFT2_Check2,              // searching; one block without a header seen
    ofs_DoOFT2_Header,              // collecting the 192 fixed header bytes
    ofs_DoOFT2_FileName,            // collecting the name
    ofs_DoOFT2_FileData,            // taking the body into the held file
    ofs_DoOFT2_FileFinish,          // body complete, block used up (within one call)
    ofs_DoOFT2_FileFinishMoreData,  // body complete, bytes of the block remain (within one call)
    ofs_DoOFT2_FileExist,           // a header stands where the body was expected (within one call)
    ofs_DoOFT2_NoFileTrans,         // no file transfer on this connection: everything passes
    ofs_DoOFT2_Error                // a header was refused: everything passes
};

using PFN_OFT2_PROGRESS = void (*)(uint32_t nBytesSoFar, uint32_t nTotal, void* pUserData);
// The verdict holds -1 when called; above 0 asks for the body to be replaced.
using PFN_OFT2_CHECKFILE = void (*)(const char* pszFileName, const char* pszTempFile,
                                    int32_t nTempFileLen, void* pUserData, int32_t* pnVerdict);
// Returns 0 to stop a release, anything else to let it go on.
using PFN_OFT2_SEND = int32_t (*)(const uint8_t* pData, int32_t nSize, void* pUserData);

inline constexpr int32_t kOft2HeaderOutSize = 8912;  // fixed header plus the longest kept name
// Name bytes kept for the scan record; a longer name still reaches the client in full.
inline constexpr int32_t kOft2MaxNameLength = kOft2HeaderOutSize - kOft2FixedHeaderSize;
inline constexpr int32_t kOft2ReleaseChunk = 32768;
inline constexpr int32_t kOft2TempDirSize = 260;
inline constexpr int32_t kOft2TempFileSize = 520;

// Allocates a zero-filled name buffer of n bytes (new[]), or returns null. Tests put in
// one that fails, to see the failure handled; nothing outside the library reaches it.
using PFN_OFT2_ALLOC_NAME = char* (*)(size_t nBytes);
// Replaces the allocator (null: the plain one) and returns the one before.
PFN_OFT2_ALLOC_NAME SetOft2NameAllocator(PFN_OFT2_ALLOC_NAME pfnAlloc);

class CIcqOscarFileTrans {
public:
    CIcqOscarFileTrans();
    virtual ~CIcqOscarFileTrans();
    CIcqOscarFileTrans(const CIcqOscarFileTrans&) = delete;
    CIcqOscarFileTrans& operator=(const CIcqOscarFileTrans&) = delete;

    // Works through one server-to-client block; returns the state after it.
    eOFT2FileState eDoOFT2Filetrans(const uint8_t* pData, int32_t nSize);
    // Ends the current transfer (its held file is deleted, never released).
    void vResetOFT2Filetrans();
    // The same without the trace line. It cannot fail, so it returns nothing; its name
    // is the one the trace lines use.
    void bReset();
    // Re-initialises the object and stores the directory for held files (at most 259
    // characters).
    bool SetTempPath(const char* pszTempDir);
    bool bSetProgressCallback(PFN_OFT2_PROGRESS pfn, void* pUserData);
    bool bSetCheckFileCallback(PFN_OFT2_CHECKFILE pfn, void* pUserData);
    bool bSetSendData2IcqClientCallback(PFN_OFT2_SEND pfn, void* pUserData);

    // Read-only views for tests and the fuzzer.
    eOFT2FileState eState() const { return m_eState; }
    int32_t nHdrRecvd() const { return m_nHdrRecvd; }
    int32_t nNameLen() const { return m_nNameLen; }
    int32_t nNameRecvd() const { return m_nNameRecvd; }
    uint32_t nDataRecvd() const { return m_nDataRecvd; }
    int32_t nTransferCount() const { return m_nTransferCount; }
    int32_t nObjectIdentity() const { return m_nObjectIdentity; }
    bool bHeaderSent() const { return m_bHeaderSent; }
    bool bHeldFileOpen() const { return m_hFile.IsOpen(); }
    const OFT2_HEADER& sHeader() const { return m_sHeader; }
    const char* pszTempDir() const { return m_szTempDir; }
    const char* pszTempFile() const { return m_szTempFile; }

private:
    // The state steps: each takes a run of bytes at the cursor (vTake) and returns the
    // next state. The dispatcher calls a step only with bytes pending, except the name
    // step, which sets up the name first even when the fixed part ended the block.
    eOFT2FileState eDoOFT2Check(const uint8_t*& pCursor, int32_t& nPending);
    eOFT2FileState eDoOFT2Header(const uint8_t*& pCursor, int32_t& nPending);
    eOFT2FileState eDoOFT2FileName(const uint8_t*& pCursor, int32_t& nPending);
    eOFT2FileState eDoOFT2FileData(const uint8_t*& pCursor, int32_t& nPending);

    // Takes the next n bytes of the block: the cursor moves past them and the pending
    // count goes down by as much, together.
    static void vTake(const uint8_t*& pCursor, int32_t& nPending, int32_t n) {
        pCursor += n;
        nPending -= n;
    }
    // Sets up the name once the fixed part is known; refuses what cannot be a header.
    eOFT2FileState eBeginName();
    // Passes on the rendezvous proxy's frames at the start of the stream; true when that
    // settles the block.
    bool bPassProxyFrames(const uint8_t*& pCursor, int32_t& nPending, eOFT2FileState& eNext);
    void vTraceProxyFrames(eRvProxyPhase ePhase, int32_t nFrameBytes) const;
    // Whether the block begins with the rest of a magic begun at the end of the last one.
    bool bMagicCompletes(const uint8_t*& pCursor, int32_t& nPending, eOFT2FileState& eNext);
    // Remembers a beginning of the magic that ends a searched block.
    void vCarryMagicPrefix(const uint8_t* pEnd, int32_t nSearched);
    void vStoreChunk(const uint8_t* pData, int32_t nSize);
    void vCheckAndRelease();
    bool bCreateOFT2File();
    bool bWriteOFT2FileData(const uint8_t* pData, int32_t nSize);
    void bCloseOFT2File();  // closes the held file if open; named as in its trace line
    void vDeleteOFT2File();
    void vSendPureData(const uint8_t* pPureData, int32_t nPureDataSize);
    void vSendFileData();
    // Sends nCount zero bytes from the zeroed buffer; false when the callback stopped it.
    bool bSendZeroBytes(const uint8_t* pZeros, uint32_t nCount, bool bTraceChunks);
    // Puts every member of the transfer back to its value after construction.
    void vClearTransfer();

    uint8_t m_abHeaderOut[kOft2HeaderOutSize];  // the header as received, then the name
    bool m_bHeaderSent;
    OFT2_HEADER m_sHeader;                      // converted; m_pszFileName is m_pFileName
    int32_t m_nHdrRecvd;
    os::HeldFile m_hFile;                       // open while the body is being written
    int32_t m_nTransferCount;
    eOFT2FileState m_eState;
    int32_t m_nHdrSize;
    int32_t m_nNameLen;
    int32_t m_nNameRecvd;
    uint32_t m_nDataRecvd;
    bool m_bModify;
    char m_szTempDir[kOft2TempDirSize];
    char m_szTempName[kOft2TempDirSize];
    char m_szTempFile[kOft2TempFileSize];       // empty exactly when no held file is left
    bool m_bProgressReported;
    PFN_OFT2_PROGRESS m_pProgressCallback;
    void* m_pProgressUserData;
    PFN_OFT2_CHECKFILE m_pCheckFileCallback;
    void* m_pCheckFileUserData;
    PFN_OFT2_SEND m_pSendData2IcqClient;
    void* m_pSendUserData;

    std::unique_ptr<char[]> m_pFileName;  // owns the name buffer of the current transfer
    bool m_bHoldFailed;                   // some body chunk could not be stored
    int32_t m_nObjectIdentity;            // first number of the held-file names
    int32_t m_nNameKept;                  // name bytes kept in m_pFileName (at most 8,720)
    int32_t m_nHeaderHad;                 // header bytes the client already has (see below)
    // The 1 to 3 bytes that ended the last searched block and begin the magic: when the
    // next block completes it, the header starts with these bytes, already passed on.
    uint8_t m_abMagicCarried[4];
    int32_t m_nMagicCarried;
    // The frames of a rendezvous proxy that may open the stream after each reset: blocks
    // that hold nothing else leave the window as it is.
    CRvProxyFrames m_cRvProxyFrames;
};

}  // namespace zykim
