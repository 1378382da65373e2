// Fuzzes zykproxy's ICAP answer parser (tools/zykproxy/scan/icap_response.cpp) with
// what a scanning server might send. The input is the server's byte stream, read as
// a sequence of answers, as the client reads a "100 Continue" and then the final
// answer: each complete answer ends where the next begins.
//
// The stream is parsed whole, then again in pieces whose sizes come from the input
// itself (down to single bytes), once with the parser's own limits and once with
// small ones, which short inputs reach too. Each way must give the same answers
// (state, error, status, fields, body, bytes taken), and no parser may hold more than
// its limits allow at any moment.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scan/icap_response.h"

namespace {

using zykproxy::icap::Fields;
using zykproxy::icap::Limits;
using zykproxy::icap::ResponseParser;

constexpr size_t kMaxAnswers = 8;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "icap response check failed: %s\n", what.c_str());
    std::abort();
}

size_t FieldBytes(const Fields& fields) {
    size_t n = 0;
    for (const auto& f : fields.All()) n += f.first.size() + f.second.size();
    return n;
}

// Everything a client could act on, flattened for comparison.
std::string Digest(const ResponseParser& p, size_t taken, const std::string& body) {
    // Where a malformed answer is noticed within the bytes given depends on the pieces.
    if (p.GetState() == ResponseParser::State::Malformed) taken = 0;
    std::string d = std::to_string(static_cast<int>(p.GetState())) + "|" + p.Error() + "|" +
                    std::to_string(p.Status()) + " " + p.Reason() + "|" + std::to_string(p.HttpStatus()) +
                    "|" + std::to_string(p.HasBody()) + "|" + std::to_string(taken) + "|";
    for (const Fields* fields : {&p.IcapFields(), &p.HttpFields()})
        for (const auto& f : fields->All()) d += f.first + ":" + f.second + "\n";
    bool found = false;
    const std::string finding = zykproxy::icap::FindingOf(p.IcapFields(), &found);
    if (finding.size() > 203) Fail("a finding name longer than its cut");
    return d + std::to_string(found) + finding + "|" + body;
}

void CheckLimits(const ResponseParser& p, const Limits& limits) {
    if (p.Buffered() > limits.maxLine) Fail("a line buffer beyond the line limit");
    if (p.HeaderBytes() > limits.maxHeaderBytes) Fail("header bytes beyond their limit");
    if (p.IcapFields().Count() > limits.maxFields || p.HttpFields().Count() > limits.maxFields)
        Fail("more fields than the limit");
    if (FieldBytes(p.IcapFields()) + FieldBytes(p.HttpFields()) > p.HeaderBytes())
        Fail("fields hold more bytes than the header sections had");
    if (p.BodyBytes() > 0 && !p.HasBody()) Fail("body bytes without a body");
}

// The answers of the stream, fed in pieces of the sizes `cuts` yields (0: all at once).
template <typename Cuts>
std::vector<std::string> Parse(const uint8_t* data, size_t size, const Limits& limits, Cuts cuts) {
    std::vector<std::string> answers;
    size_t at = 0;
    while (answers.size() < kMaxAnswers) {
        std::string body;
        ResponseParser parser(limits, [&](const char* d, size_t n) { body.append(d, n); });
        size_t taken = 0;
        while (at < size && parser.GetState() == ResponseParser::State::Incomplete) {
            const size_t piece = std::min(size - at, cuts());
            const size_t n = parser.Feed(reinterpret_cast<const char*>(data) + at, piece);
            if (n > piece) Fail("took more bytes than it was given");
            if (n < piece && parser.GetState() == ResponseParser::State::Incomplete)
                Fail("left bytes while still incomplete");
            CheckLimits(parser, limits);
            if (body.size() != parser.BodyBytes()) Fail("body bytes counted wrong");
            taken += n;
            at += n;
            if (parser.GetState() == ResponseParser::State::Malformed) at = size;  // no more answers
        }
        if (parser.GetState() == ResponseParser::State::Complete &&
            parser.Feed(reinterpret_cast<const char*>(data), size) != 0)
            Fail("a complete answer took more bytes");
        answers.push_back(Digest(parser, taken, body));
        if (parser.GetState() != ResponseParser::State::Complete || at >= size) break;
    }
    return answers;
}

void Compare(const uint8_t* data, size_t size, const Limits& limits) {
    const size_t whole = static_cast<size_t>(-1);
    const std::vector<std::string> once = Parse(data, size, limits, [&] { return whole; });
    // Piece sizes from the input's own bytes: 1 to 256, a byte at a time included.
    size_t k = 0;
    const std::vector<std::string> split = Parse(data, size, limits, [&] {
        return size == 0 ? whole : static_cast<size_t>(data[(k++ * 7919) % size]) + 1;
    });
    if (once != split) Fail("split and whole parses differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Compare(data, size, Limits());
    Limits small;
    small.maxLine = 100;
    small.maxFields = 6;
    small.maxHeaderBytes = 400;
    Compare(data, size, small);
    return 0;
}
