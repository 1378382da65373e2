// One OFT2 file-transfer session over a connected socket, as the sending and as the
// receiving client: PROMPT, ACK, body, DONE for each file, one file after the other.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net.h"

namespace oftpeer {

struct SendOptions {
    std::vector<std::string> files;
    std::array<uint8_t, 8> cookie{};
    int timeoutMs = 30000;  // longest wait for the peer at any step
};

struct SentFile {
    std::string path;
    std::string name;  // as announced
    uint64_t size = 0;
    std::string sha256;
    uint32_t checksum = 0;
    uint32_t receivedBytes = 0;     // as the receiver's DONE reports
    uint32_t receivedChecksum = 0;  // as the receiver's DONE reports
};

struct ReceiveOptions {
    std::string folder;
    int timeoutMs = 30000;
    // The receiver's cookie, used when the sender's is zero (all zero: a fresh one).
    std::array<uint8_t, 8> cookie{};
};

struct ReceivedFile {
    std::string name;  // as announced
    std::string path;  // where it was written
    uint64_t size = 0;
    std::string sha256;
    uint32_t announcedChecksum = 0;
    uint32_t checksum = 0;  // of the bytes that arrived
    bool allZero = false;   // every byte arrived as zero (a blanked file)
};

// Called for each file as soon as it is through.
using SentCallback = std::function<void(const SentFile&)>;
using ReceivedCallback = std::function<void(const ReceivedFile&)>;

// Sends every file; false and *error when the transfer cannot go on.
bool RunSender(const Socket& connection, const SendOptions& options, std::vector<SentFile>* sent,
               std::string* error, const SentCallback& onSent = nullptr);
// Receives files until the sender's last one (or its orderly close between files).
bool RunReceiver(const Socket& connection, const ReceiveOptions& options,
                 std::vector<ReceivedFile>* received, std::string* error,
                 const ReceivedCallback& onReceived = nullptr);

// A name from the wire made safe to use as a file name in the receiving folder.
std::string SafeFileName(const std::string& announced);

// A cookie the way clients make one: eight bytes of printable digits, the last zero.
std::array<uint8_t, 8> MakeCookie();

}  // namespace oftpeer
