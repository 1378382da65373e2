// A stand-in plug-in for the proxy host's tests only (never installed, never used by
// the demo): it exports the connection functions by their plain names, forwards
// bytes as the plug-in does, and records every call. Extra exports let a test read
// the record and drive the host's scan callback.
#pragma once

#include "zykim/zykim.h"

struct FakeCall {
    char name[32];
    int hostValue;                 // OnNewConnectionEx only
    const ZykConnection* app;
    int appSocket;
    int serverSocket;              // data calls only
    unsigned long long thread;     // hash of the calling thread's id
    int result;                    // data calls: bytes read
};

// Server blocks that start with these words are commands to the fake, not data:
//   "FAKE-CHECK <path>\n"         calls the scan callback (kind 1) for <path> and
//                                 sends "VERDICT <nResult>\n" to the client
//   "FAKE-PROGRESS <done> <total>\n"  calls it with kind 3 and sends "PROGRESS\n"
using FakePluginCallCountFn = int (*)();
using FakePluginGetCallFn = int (*)(int index, FakeCall* out);
using FakePluginResetFn = void (*)();
// Calls against the host's order: a data call before OnNewConnectionEx or after
// OnEndConnection, two data calls of one direction at once, an end during a data call.
using FakePluginOrderFaultsFn = int (*)();
