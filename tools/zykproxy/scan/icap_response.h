// The answer of an ICAP server, parsed as its bytes come in: the status line and
// header fields, then the encapsulated HTTP header sections (their lengths as the
// Encapsulated field gives them) and a chunked body, whose bytes go to a sink as
// they arrive, so that no body is ever held. A scanning server is outside
// zykproxy's trust: the header sections are parsed within hard limits, and an answer
// that passes one is malformed, never buffered. Pure code, no sockets: the client
// feeds it what it receives, in pieces of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zykproxy::icap {

struct Limits {
    size_t maxLine = 8192;          // one line, its line end included
    size_t maxFields = 100;         // fields of one header section
    size_t maxHeaderBytes = 65536;  // every header line of the answer together
};

// The fields of one header section in their order. A folded field (continuation
// lines that start with a space or a tab) keeps its lines, joined by '\n'.
class Fields {
public:
    // The value of the first field of that name (case-insensitive), or null.
    const std::string* Find(const std::string& name) const;
    size_t Count() const { return m_fields.size(); }
    const std::vector<std::pair<std::string, std::string>>& All() const { return m_fields; }
    void Add(std::string name, std::string value);
    // Adds a continuation line to the last field; false when there is none.
    bool Continue(const std::string& line);
    void Clear() { m_fields.clear(); }

private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

class ResponseParser {
public:
    enum class State { Incomplete, Complete, Malformed };
    using BodySink = std::function<void(const char* data, size_t size)>;

    explicit ResponseParser(Limits limits = Limits(), BodySink sink = nullptr);

    // Parses the next bytes of the answer and returns how many of them it took: all,
    // until the answer is complete (what follows is not part of it) or malformed.
    size_t Feed(const char* data, size_t size);

    State GetState() const { return m_state; }
    const std::string& Error() const { return m_error; }  // why it is malformed
    int Status() const { return m_status; }               // 0 until the status line is read
    const std::string& Reason() const { return m_reason; }
    const Fields& IcapFields() const { return m_icapFields; }
    // The encapsulated HTTP response header (res-hdr): its status, 0 when there is none.
    int HttpStatus() const { return m_httpStatus; }
    const Fields& HttpFields() const { return m_httpFields; }
    // Whether the answer encapsulates a body (res-body, req-body or opt-body).
    bool HasBody() const { return m_hasBody; }
    uint64_t BodyBytes() const { return m_bodyBytes; }
    size_t HeaderBytes() const { return m_headerBytes; }
    // Bytes held while a line is incomplete; never more than the line limit.
    size_t Buffered() const { return m_line.size(); }

private:
    enum class Phase { StatusLine, IcapFields, SectionStart, SectionFields, ChunkSize,
                       ChunkData, ChunkEnd, Trailer, Done };
    struct Section {
        std::string name;
        uint64_t offset = 0;
    };
    bool Fail(const std::string& why);
    bool TakeLine(const char*& p, const char* end, bool header, std::string* line);
    bool OnLine(const std::string& line);
    bool OnStatusLine(const std::string& line);
    bool OnFieldLine(const std::string& line, Fields* fields);
    bool OnIcapFieldsEnd();
    bool ReadEncapsulated(const std::string& value);
    bool StartSection();
    bool OnSectionStart(const std::string& line);
    bool OnSectionEnd();
    bool OnChunkSize(const std::string& line);
    void TakeChunkData(const char*& p, const char* end);

    Limits m_limits;
    BodySink m_sink;
    State m_state = State::Incomplete;
    Phase m_phase = Phase::StatusLine;
    std::string m_error;
    std::string m_line;  // the line being collected
    size_t m_headerBytes = 0;
    int m_status = 0;
    std::string m_reason;
    Fields m_icapFields;
    Fields m_httpFields;
    Fields m_otherFields;  // an encapsulated request header or the trailer: counted, not kept
    Fields* m_sectionFields = nullptr;
    int m_httpStatus = 0;
    std::vector<Section> m_sections;  // from Encapsulated, in order
    size_t m_nextSection = 0;
    uint64_t m_encapsulatedBytes = 0;  // header-section bytes read since the encapsulated part began
    bool m_hasBody = false;
    uint64_t m_chunkLeft = 0;
    uint64_t m_bodyBytes = 0;
};

// The name of what the server reports to have found, from X-Infection-Found (its
// Threat=), X-Violations-Found (the threat line of each violation) or X-Virus-ID,
// made printable and cut to a sane length. found says whether any of these fields is
// there; the name may then still be empty (a server that names nothing).
std::string FindingOf(const Fields& fields, bool* found);

}  // namespace zykproxy::icap
