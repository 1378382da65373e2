/*
 * zykim.h - the interface between a TCP proxy host and the zykim scanning plug-in.
 *
 * The host loads zykim.dll (Windows, 32-bit) or libzykim.so (Linux) and drives it only
 * through the exported functions below, by their plain names.
 *
 * Threads and locks
 *   - Every export runs on the calling host thread; the plug-in starts no thread.
 *     Any number of host threads may call the exports at once, for different
 *     connections.
 *   - Data calls for the same connection and direction must not overlap: two
 *     OnRequestFromServer calls for one connection at once could hand its blocks to the
 *     file-transfer inspection out of order, and two OnRequestFromApplication calls
 *     would interleave their blocks on the server socket. Do not end or replace a
 *     connection (OnEndConnection, OnNewConnection(Ex)) while a data call for it runs.
 *   - The plug-in has a table lock (the connection table), a callback lock (the scan
 *     callback), a callback gate (parallel checks, below) and one lock per connection.
 *     Deliveries to a messenger client run under that connection's lock only, never
 *     under the callback lock or gate: a client that stops reading stalls its own
 *     connection (and the host thread serving it), never another connection.
 *   - By default (SetParallelChecks never called, or called with 1) the host's scan
 *     callback is called with the callback lock held and is never entered by two
 *     threads at once. While it runs, other connections' checks and progress reports
 *     wait for it (progress is reported for files above 100,000 bytes, also once when
 *     such a transfer ends or is cut short); their other bytes flow.
 *   - After SetParallelChecks(count) with a count above 1, the host promises that its
 *     scan callback may be entered by several threads at once. Up to `count` checks
 *     (kind 1) then run at once, each on the thread of its own connection, inside that
 *     connection's OnRequestFromServer; progress reports (kind 3) run beside them and
 *     wait for no check. A check whose file completes while `count` others are running
 *     waits there, on its connection's thread, until one of them has returned: that is
 *     the one place where a check waits for another, and a host that counts its own
 *     threads should expect it when more than `count` files complete at once.
 *   - The scan callback must not call back into the plug-in (no connection export, no
 *     RegisterCallback, no SetParallelChecks): that would deadlock.
 *   - Lock order, which keeps the plug-in free of deadlocks: table lock, connection
 *     lock, callback lock, callback gate. While the table lock is held a connection's
 *     lock is only tried, never waited for; a data call holds its connection's lock
 *     while it waits for the callback lock or for a place in the gate; RegisterCallback
 *     and SetParallelChecks hold the callback lock (and no other) while they wait for
 *     the gate; nothing waits for a lock while inside the scan callback.
 *   - ISocket::Receive and ISocket::Send are called without any plug-in lock, on any
 *     host thread, for different sockets at once.
 *   - SetISocket must be called before the connections that should use it are
 *     announced; the plug-in publishes the pointer with release ordering and reads it
 *     with acquire ordering at every transfer, so a host thread whose data call follows
 *     SetISocket sees the object as the host built it. Keep the object alive for as
 *     long as the plug-in may use it (until SetISocket(NULL) has returned and no data
 *     call is running).
 *
 * Loading and unloading
 *   - The host may exit without unloading the plug-in, even while other threads are
 *     inside exports: process exit frees nothing (held files of connections still open
 *     then stay in the temporary folder).
 *   - Unloading (FreeLibrary, dlclose) with connections still open is allowed once no
 *     export is running: their held files are deleted without reaching the client and
 *     without calling the scan callback.
 *
 * Byte counts
 *   - OnRequestFromApplication and OnRequestFromServer return the bytes read during the
 *     call, capped at 2,147,483,647; a host may read 0 or less as "nothing came".
 *
 * Ownership
 *   - The host owns its ZykConnection records, its ISocket object and every buffer it
 *     passes. The address of the application-side record is the connection's identity:
 *     pass the same pointer from OnNewConnection(Ex) to OnEndConnection and keep the
 *     record valid until OnEndConnection has returned.
 *   - A ScanCallbackInfo record and the texts it points to live only for the duration
 *     of the scan callback call; do not keep them.
 */
#ifndef ZYKIM_ZYKIM_H
#define ZYKIM_ZYKIM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  define ZYKIM_CALL __cdecl
#  if defined(ZYKIM_BUILDING)
#    define ZYKIM_EXPORT __declspec(dllexport)
#  else
#    define ZYKIM_EXPORT __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    if defined(_MSC_VER)
#      define ZYKIM_THISCALL __thiscall
#    else
#      define ZYKIM_THISCALL __attribute__((thiscall))
#    endif
#  else
#    define ZYKIM_THISCALL
#  endif
#else
#  define ZYKIM_CALL
#  define ZYKIM_EXPORT __attribute__((visibility("default")))
#  define ZYKIM_THISCALL
#endif

#ifdef __cplusplus
#  define ZYKIM_API extern "C" ZYKIM_EXPORT
#else
#  define ZYKIM_API extern ZYKIM_EXPORT
#endif

/* The host's record for one socket of a connection. The plug-in reads only `socket`
 * (the second 32-bit word); a host may put more fields after these two. */
typedef struct ZykConnection {
    uint32_t reserved;
    int32_t socket;
} ZykConnection;

/* The host's socket interface, set with SetISocket. The plug-in calls only Receive and
 * Send, and never the first slot. Receive returns the number of bytes placed (at most
 * `size`); 0 or less ends the plug-in's read loop. Send must have sent every byte when
 * it returns; the plug-in uses only the low 8 bits of its result, as a "sent" flag. */
#ifdef __cplusplus
class ISocket {
public:
    virtual void Reserved0() = 0;
    virtual int Receive(int socket, char* buffer, int size) = 0;
    virtual int Send(int socket, const char* data, int length) = 0;
protected:
    ~ISocket() {}
};
#else
typedef struct ISocket ISocket;
typedef struct ISocketVtbl {
    void (ZYKIM_THISCALL *Reserved0)(ISocket* self);
    int (ZYKIM_THISCALL *Receive)(ISocket* self, int socket, char* buffer, int size);
    int (ZYKIM_THISCALL *Send)(ISocket* self, int socket, const char* data, int length);
} ISocketVtbl;
struct ISocket {
    const ISocketVtbl* lpVtbl;
};
#endif

/* Kinds passed to the scan callback. */
#define ZYKIM_SCAN_CHECK_FILE 1 /* check the held file named in szFileName; write the verdict */
#define ZYKIM_SCAN_PROGRESS   3 /* progress of a large file (above 100000 bytes) */

/* The record handed to the scan callback. On 32-bit builds it is exactly 1360 bytes.
 * Kind 1: szFileName is the full path of the held file, szWebContentInfo the file name
 * announced by the sender; write nResult > 0 to have the body replaced by zero bytes,
 * 0 or less to let it through. Kind 3: dwDoneKB/dwTotalKB tell the progress; the two
 * texts are the constants "szFileName" and "szWebContentInfo"; nothing is read back. */
typedef struct ScanCallbackInfo {
    uint32_t cbSize;
    uint32_t reserved4;
    const char* szFileName;
    int32_t nResult;
    uint8_t reserved16[1040];
    uint32_t dwDoneKB;
    uint32_t dwTotalKB;
    uint32_t dwHostValue;
    uint32_t dwAppSocket;
    uint32_t reserved1072;
    const char* szWebContentInfo;
    uint8_t reserved1080[280];
} ScanCallbackInfo;

#if UINTPTR_MAX == 0xFFFFFFFFu
#  ifdef __cplusplus
#    define ZYKIM_STATIC_ASSERT(c, m) static_assert(c, m)
#  elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#    define ZYKIM_STATIC_ASSERT(c, m) _Static_assert(c, m)
#  endif
#  ifdef ZYKIM_STATIC_ASSERT
ZYKIM_STATIC_ASSERT(sizeof(ScanCallbackInfo) == 1360, "ScanCallbackInfo size");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, cbSize) == 0, "cbSize");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, reserved4) == 4, "reserved4");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, szFileName) == 8, "szFileName");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, nResult) == 12, "nResult");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, dwDoneKB) == 1056, "dwDoneKB");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, dwTotalKB) == 1060, "dwTotalKB");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, dwHostValue) == 1064, "dwHostValue");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, dwAppSocket) == 1068, "dwAppSocket");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, reserved1072) == 1072, "reserved1072");
ZYKIM_STATIC_ASSERT(offsetof(ScanCallbackInfo, szWebContentInfo) == 1076, "szWebContentInfo");
#    undef ZYKIM_STATIC_ASSERT
#  endif
#endif

/* The host's scan callback; its result is not used. */
typedef int (ZYKIM_CALL *ZykScanCallback)(int kind, ScanCallbackInfo* info);

/* Configuration. */
/* Replaces the scan callback (NULL clears it). It waits for every call of the callback
 * under way, and no call of the old callback starts after it has returned. Returns
 * non-zero on success. */
ZYKIM_API int ZYKIM_CALL RegisterCallback(ZykScanCallback callback);
/* The most checks SetParallelChecks lets run at once. */
#define ZYKIM_MAX_PARALLEL_CHECKS 256
/* Lets up to `count` file checks (kind 1) run at once, each on the thread of its own
 * connection; 1, the default, checks one file at a time and never enters the scan
 * callback twice at once. Call it with a count above 1 only for a callback that is safe
 * to enter from several threads at once (see "Threads and locks"). A count below 1 is
 * taken as 1, one above ZYKIM_MAX_PARALLEL_CHECKS as that. Like RegisterCallback it
 * waits for every call of the callback under way; calls that start after it has
 * returned follow the new count. Returns the count now in effect (1 when the plug-in
 * cannot run checks in parallel). */
ZYKIM_API int ZYKIM_CALL SetParallelChecks(int count);
/* Sets the host's socket interface (NULL: the plug-in uses the raw sockets itself).
 * Call it before announcing the connections that should use it. Returns its argument. */
ZYKIM_API ISocket* ZYKIM_CALL SetISocket(ISocket* socketInterface);
/* Stores a time-out setting (seconds; 0 or less switches it off). Returns 0. */
ZYKIM_API int ZYKIM_CALL SetTimeoutProtection(int seconds);
/* Stores a size limit in MiB (0: no limit). Returns the low 32 bits of the limit in bytes. */
ZYKIM_API uint32_t ZYKIM_CALL SetCheckLimit(uint32_t megabytes);
/* Accepted and ignored; the trace level is read once, when the plug-in loads. */
ZYKIM_API void ZYKIM_CALL NotifySettingsChanged(void);

/* Connections. `app` is the messenger client's side, `server` the server's side. */
ZYKIM_API void ZYKIM_CALL OnNewConnection(int hostValue, ZykConnection* app);
ZYKIM_API void ZYKIM_CALL OnNewConnectionEx(int hostValue, int unused, ZykConnection* app);
/* Drains the client socket and forwards every byte to the server; returns the bytes read
 * (at most 2,147,483,647). */
ZYKIM_API int ZYKIM_CALL OnRequestFromApplication(ZykConnection* app, ZykConnection* server);
/* Drains the server socket through the inspection; returns the bytes read (at most
 * 2,147,483,647). */
ZYKIM_API int ZYKIM_CALL OnRequestFromServer(ZykConnection* app, ZykConnection* server);
/* Ends the connection: a file still held is deleted without reaching the client.
 * Do not call it while a data call for the same connection is running. */
ZYKIM_API void ZYKIM_CALL OnEndConnection(ZykConnection* app);

/* Messenger clients: 1 AIM, 2 MSN Messenger, 3 Trillian. */
ZYKIM_API void ZYKIM_CALL GetIMPlugin(int id, int* installed, int* on);
ZYKIM_API void ZYKIM_CALL SetIMPlugin(int id, int on);

#endif /* ZYKIM_ZYKIM_H */
