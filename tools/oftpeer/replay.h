// Replays a recorded OFT2 transfer through a proxy: this program is both the server
// (the sending client, which listens) and the client (the receiver, which connects
// through the proxy), and tells what the client side got.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "net.h"

namespace oftpeer {

// The two directions of the recording and the server's TCP segments (offset, length).
struct Recording {
    std::string serverToClient;  // PROMPT header, then the file body
    std::string clientToServer;  // ACK header, then DONE header
    std::vector<std::pair<size_t, size_t>> serverSegments;
    size_t headerLength = 256;
};

// Loads sender-to-receiver.bin and receiver-to-sender.bin from `folder` with the
// segment sizes of the recorded transfer; false and *error when they do not fit.
bool LoadRecording(const std::string& folder, Recording* recording, std::string* error);

enum class ReplayOutcome {
    kIdentical,  // the client got exactly what the server sent
    kBlanked,    // the client got the header and as many zero bytes as the body has
    kDifferent,  // anything else
    kFailed,     // the replay itself could not be carried out
};
const char* OutcomeName(ReplayOutcome outcome);

struct ReplayOptions {
    Address proxy;            // where the client side connects
    Address socks5;           // when its host is set: connect to `proxy` through this SOCKS5 proxy
    int timeoutMs = 30000;    // longest wait at any step
    int segmentGapMs = 5;     // pause between the server's segments, so they stay apart
};

// `listener` is the server side's listening socket (the proxy's upstream). *report
// gets a line or two on what happened.
ReplayOutcome RunReplay(const Socket& listener, const Recording& recording,
                        const ReplayOptions& options, std::string* report);

}  // namespace oftpeer
