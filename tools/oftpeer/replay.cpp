// Replay of a recorded OFT2 transfer in its recorded order: PROMPT, ACK, the body in
// the server's recorded segments, DONE; then the client closes as it did.
#include "replay.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "socks5.h"

namespace oftpeer {

namespace {

bool ReadWholeFile(const std::string& path, std::string* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Reads up to `length` bytes; what arrived is appended even when the read fell short.
bool ReadInto(const Socket& s, size_t length, int timeoutMs, std::string* out, std::string* why) {
    std::string buffer(length, '\0');
    size_t got = 0;
    std::string error;
    const ReadStatus status = ReadExactly(s, &buffer[0], length, timeoutMs, &got, &error);
    out->append(buffer, 0, got);
    if (status == ReadStatus::kComplete) return true;
    *why = error.empty() ? DescribeReadStatus(status) : error;
    return false;
}

// Where two byte strings first differ (or the shorter one's length).
size_t FirstDifference(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

bool LoadRecording(const std::string& folder, Recording* recording, std::string* error) {
    if (!ReadWholeFile(folder + "/sender-to-receiver.bin", &recording->serverToClient) ||
        !ReadWholeFile(folder + "/receiver-to-sender.bin", &recording->clientToServer)) {
        *error = "cannot read the recording in " + folder;
        return false;
    }
    // The sender's TCP segments as captured: the header alone, then the body.
    recording->serverSegments = {{0, 256},      {256, 1460},  {1716, 1460}, {3176, 1176},
                                 {4352, 1460},  {5812, 1460}, {7272, 1460}, {8732, 1460},
                                 {10192, 304},  {10496, 1460}, {11956, 308}};
    recording->headerLength = 256;
    size_t end = 0;
    for (const auto& segment : recording->serverSegments) {
        if (segment.first != end) break;
        end += segment.second;
    }
    if (end != recording->serverToClient.size() || recording->clientToServer.size() != 512 ||
        recording->serverToClient.compare(0, 4, "OFT2") != 0) {
        *error = "the recording in " + folder + " is not the expected one";
        return false;
    }
    return true;
}

const char* OutcomeName(ReplayOutcome outcome) {
    switch (outcome) {
        case ReplayOutcome::kIdentical: return "identical";
        case ReplayOutcome::kBlanked: return "blanked";
        case ReplayOutcome::kDifferent: return "different";
        case ReplayOutcome::kFailed: return "failed";
    }
    return "?";
}

ReplayOutcome RunReplay(const Socket& listener, const Recording& recording,
                        const ReplayOptions& options, std::string* report) {
    std::ostringstream out;
    const size_t header = recording.headerLength;
    const std::string& sent = recording.serverToClient;
    const std::string ack = recording.clientToServer.substr(0, header);
    const std::string done = recording.clientToServer.substr(header, header);
    std::string error;

    Socket client = options.socks5.host.empty()
                        ? Connect(options.proxy, options.timeoutMs, &error)
                        : ConnectThroughSocks5(options.socks5, options.proxy, options.timeoutMs, &error);
    if (!client.Valid()) {
        *report = "client side: " + error;
        return ReplayOutcome::kFailed;
    }
    Socket server = Accept(listener, options.timeoutMs, &error);
    if (!server.Valid()) {
        *report = "server side: the proxy did not connect upstream: " + error;
        return ReplayOutcome::kFailed;
    }

    std::string atClient;   // what the client side received
    std::string atServer;   // what the server side received
    std::string shortfall;  // why a read fell short, if one did
    auto fail = [&](const std::string& what) {
        *report = what;
        return ReplayOutcome::kFailed;
    };

    // PROMPT: the header's segment, which the client must see before it acknowledges.
    const auto& first = recording.serverSegments.front();
    if (!SendAll(server, sent.data() + first.first, first.second, options.timeoutMs, &error))
        return fail("server side, sending the prompt: " + error);
    bool complete = ReadInto(client, header, options.timeoutMs, &atClient, &shortfall);
    // ACK.
    if (complete) {
        if (!SendAll(client, ack.data(), ack.size(), options.timeoutMs, &error))
            return fail("client side, sending the acknowledge: " + error);
        complete = ReadInto(server, header, options.timeoutMs, &atServer, &shortfall);
    }
    // Body, segment by segment as recorded.
    if (complete) {
        for (size_t i = 1; i < recording.serverSegments.size(); ++i) {
            if (options.segmentGapMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(options.segmentGapMs));
            const auto& segment = recording.serverSegments[i];
            if (!SendAll(server, sent.data() + segment.first, segment.second, options.timeoutMs, &error))
                return fail("server side, sending the body: " + error);
        }
        complete = ReadInto(client, sent.size() - header, options.timeoutMs, &atClient, &shortfall);
    }
    // DONE, then the client closes; the server side sees the end.
    if (complete) {
        if (!SendAll(client, done.data(), done.size(), options.timeoutMs, &error))
            return fail("client side, sending done: " + error);
        complete = ReadInto(server, header, options.timeoutMs, &atServer, &shortfall);
        ShutdownSend(client);
        if (complete && !WaitForClose(server, options.timeoutMs))
            out << "note: the server side saw no end of the connection\n";
        server.Close();
    }
    // Anything the client got beyond the recording counts against it.
    if (complete) {
        std::string extra;
        std::string ignored;
        ReadInto(client, 1, 500, &extra, &ignored);
        atClient += extra;
    }

    const std::string blanked = sent.substr(0, header) + std::string(sent.size() - header, '\0');
    ReplayOutcome outcome = ReplayOutcome::kDifferent;
    if (atClient == sent && atServer == recording.clientToServer) outcome = ReplayOutcome::kIdentical;
    else if (atClient == blanked && atServer == recording.clientToServer) outcome = ReplayOutcome::kBlanked;

    out << "client side received " << atClient.size() << " of " << sent.size() << " bytes: ";
    if (atClient == sent) out << "identical to what the server sent";
    else if (atClient == blanked) out << "the header and " << sent.size() - header << " zero bytes";
    else out << "different from what the server sent from byte " << FirstDifference(atClient, sent);
    out << "\nserver side received " << atServer.size() << " of " << recording.clientToServer.size()
        << " bytes: ";
    if (atServer == recording.clientToServer) out << "identical to what the client sent";
    else out << "different from what the client sent from byte "
             << FirstDifference(atServer, recording.clientToServer);
    if (!shortfall.empty()) out << "\na read fell short: " << shortfall;
    out << "\n";
    *report = out.str();
    return outcome;
}

}  // namespace oftpeer
