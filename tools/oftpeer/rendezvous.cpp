// The rendezvous proxy's frames and the client side of a session through it.
#include "rendezvous.h"

#include <cstdio>

namespace oftpeer {

namespace {

// The send-file capability, 09461343-4C7F-11D1-8222-444553540000.
constexpr uint8_t kSendFileCapability[16] = {0x09, 0x46, 0x13, 0x43, 0x4C, 0x7F, 0x11, 0xD1,
                                             0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
// The longest payload read: a create or join with a 255-byte name.
constexpr size_t kRvMostPayload = 1 + 255 + 2 + 8 + 20;

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

std::vector<uint8_t> SerializeRvFrame(const RvFrame& frame) {
    std::vector<uint8_t> out;
    Put16(out, static_cast<uint32_t>(kRvHeadSize - 2 + frame.payload.size()));
    Put16(out, kRvVersion);
    Put16(out, frame.command);
    out.insert(out.end(), 4, 0);
    Put16(out, frame.flags);
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return out;
}

bool ReadRvFrame(const Socket& s, int timeoutMs, RvFrame* frame, std::string* error) {
    uint8_t head[kRvHeadSize];
    size_t got = 0;
    ReadStatus status = ReadExactly(s, head, sizeof head, timeoutMs, &got, error);
    if (status == ReadStatus::kComplete) {
        const size_t length = Get16(head);
        if (Get16(head + 2) != kRvVersion || length < kRvHeadSize - 2 ||
            length - (kRvHeadSize - 2) > kRvMostPayload) {
            *error = "not a rendezvous proxy frame";
            return false;
        }
        frame->command = Get16(head + 4);
        frame->flags = Get16(head + 10);
        frame->payload.assign(length - (kRvHeadSize - 2), 0);
        status = ReadExactly(s, frame->payload.data(), frame->payload.size(), timeoutMs, &got, error);
    }
    if (status == ReadStatus::kComplete) return true;
    if (error->empty()) *error = "waiting for a rendezvous proxy frame: " + DescribeReadStatus(status);
    return false;
}

std::string RvErrorText(uint16_t code) {
    switch (code) {
        case kRvBadRequest: return "bad request";
        case kRvRequestTimedOut: return "request timed out";
        case kRvAcceptTimedOut: return "accept period timed out";
        default: return "unknown error";
    }
}

RvFrame MakeRvRequest(const RvRequest& request) {
    RvFrame frame;
    frame.command = request.join ? kRvJoin : kRvCreate;
    const std::string name = request.screenName.substr(0, 255);
    frame.payload.push_back(static_cast<uint8_t>(name.size()));
    frame.payload.insert(frame.payload.end(), name.begin(), name.end());
    if (request.join) Put16(frame.payload, request.pin);
    frame.payload.insert(frame.payload.end(), request.cookie.begin(), request.cookie.end());
    Put16(frame.payload, 0x0001);  // TLV: the capability
    Put16(frame.payload, sizeof kSendFileCapability);
    frame.payload.insert(frame.payload.end(), std::begin(kSendFileCapability), std::end(kSendFileCapability));
    return frame;
}

bool ParseRvRequest(const RvFrame& frame, RvRequest* request) {
    if (frame.command != kRvCreate && frame.command != kRvJoin) return false;
    const std::vector<uint8_t>& p = frame.payload;
    request->join = frame.command == kRvJoin;
    if (p.empty()) return false;
    const size_t nameEnd = 1 + size_t{p[0]};
    const size_t cookieAt = nameEnd + (request->join ? 2 : 0);
    if (p.size() < cookieAt + 8) return false;
    request->screenName.assign(p.begin() + 1, p.begin() + static_cast<long>(nameEnd));
    if (request->join) request->pin = Get16(p.data() + nameEnd);
    std::copy(p.begin() + static_cast<long>(cookieAt), p.begin() + static_cast<long>(cookieAt + 8),
              request->cookie.begin());
    return true;
}

RvFrame MakeRvCreated(const RvSession& session) {
    RvFrame frame;
    frame.command = kRvCreated;
    Put16(frame.payload, session.pin);
    Put16(frame.payload, session.address >> 16);
    Put16(frame.payload, session.address & 0xFFFF);
    return frame;
}

RvFrame MakeRvError(uint16_t code) {
    RvFrame frame;
    frame.command = kRvError;
    Put16(frame.payload, code);
    return frame;
}

bool EnterRendezvous(const Socket& s, const RvRequest& request, int timeoutMs,
                     const std::function<void(const RvSession&)>& onCreated, std::string* error) {
    const std::vector<uint8_t> out = SerializeRvFrame(MakeRvRequest(request));
    if (!SendAll(s, out.data(), out.size(), timeoutMs, error)) return false;
    for (;;) {
        RvFrame frame;
        if (!ReadRvFrame(s, timeoutMs, &frame, error)) return false;
        if (frame.command == kRvReady) return true;
        if (frame.command == kRvError) {
            const uint16_t code = frame.payload.size() >= 2 ? Get16(frame.payload.data()) : 0;
            char text[96];
            std::snprintf(text, sizeof text, "the rendezvous proxy refused: error 0x%04X, %s", code,
                          RvErrorText(code).c_str());
            *error = text;
            return false;
        }
        if (frame.command == kRvCreated && !request.join && frame.payload.size() >= 6) {
            RvSession session;
            session.pin = Get16(frame.payload.data());
            session.address = (uint32_t{Get16(frame.payload.data() + 2)} << 16) | Get16(frame.payload.data() + 4);
            if (onCreated) onCreated(session);
            continue;
        }
        *error = "unexpected rendezvous proxy frame, command " + std::to_string(frame.command);
        return false;
    }
}

std::array<uint8_t, 8> DefaultRvCookie() { return {'1', '2', '3', '4', '5', '6', '7', 0}; }

bool ParseCookie(const std::string& text, std::array<uint8_t, 8>* cookie) {
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() != 16) return false;
    for (size_t i = 0; i < 8; ++i) {
        const int high = digit(text[2 * i]), low = digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        (*cookie)[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

}  // namespace oftpeer
