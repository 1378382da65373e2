// The ICAP answer parser: one line at a time for the header sections and the chunk
// lines, the chunk data passed on as it comes. Every limit is checked before a byte
// is kept, so that the same answer in any split gives the same result.
#include "scan/icap_response.h"

#include <cctype>
#include <cstring>

namespace zykproxy::icap {

namespace {

constexpr size_t kMaxFindingLength = 200;
constexpr size_t kMaxFindings = 8;

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool HasControlByte(const std::string& line) {
    for (const char c : line) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) return true;
    }
    return false;
}

// "PROTO/D.D SP DDD[ SP reason]": the status, or 0 when the line is not one.
int StatusOf(const std::string& line, const char* protocol, std::string* reason) {
    const size_t n = std::strlen(protocol);
    if (line.compare(0, n, protocol) != 0 || line.size() < n + 7) return 0;
    size_t at = n;
    auto digits = [&] {
        const size_t start = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])) && at - start < 3) ++at;
        return at > start;
    };
    if (!digits() || line[at++] != '.' || !digits() || line[at++] != ' ') return 0;
    if (at + 3 > line.size()) return 0;
    int status = 0;
    for (size_t i = at; i < at + 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
        status = status * 10 + (line[i] - '0');
    }
    at += 3;
    if (at < line.size() && line[at] != ' ') return 0;
    if (status < 100 || status > 599) return 0;
    if (reason != nullptr) *reason = at < line.size() ? line.substr(at + 1) : "";
    return status;
}

bool IsHeaderSection(const std::string& name) { return name == "req-hdr" || name == "res-hdr"; }
bool IsBodySection(const std::string& name) {
    return name == "req-body" || name == "res-body" || name == "opt-body" || name == "null-body";
}

// Printable, one line, of a sane length.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (out.size() >= kMaxFindingLength) return out + "...";
        const unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F) ? (c == '\n' ? ' ' : '?') : c;
    }
    return out;
}

std::vector<std::string> Lines(const std::string& value) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t nl = value.find('\n', start);
        out.push_back(Trim(value.substr(start, nl - start)));
        if (nl == std::string::npos) return out;
        start = nl + 1;
    }
}

// "Type=0; Resolution=2; Threat=NAME;": NAME, or the whole value when it names none.
std::string ThreatOfInfection(const std::string& value) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t semicolon = value.find(';', start);
        if (semicolon == std::string::npos) semicolon = value.size();
        const std::string part = Trim(value.substr(start, semicolon - start));
        const size_t equals = part.find('=');
        if (equals != std::string::npos && EqualNoCase(Trim(part.substr(0, equals)), "Threat"))
            return Trim(part.substr(equals + 1));
        start = semicolon + 1;
    }
    return value;
}

// A count, then four lines per violation: file name, threat, problem id, resolution.
std::string ThreatsOfViolations(const std::string& value) {
    const std::vector<std::string> lines = Lines(value);
    if (lines.size() < 3) return Trim(value);
    std::string names;
    for (size_t i = 2; i < lines.size() && i / 4 < kMaxFindings; i += 4)
        if (!lines[i].empty()) names += (names.empty() ? "" : ", ") + lines[i];
    return names;
}

}  // namespace

const std::string* Fields::Find(const std::string& name) const {
    for (const auto& field : m_fields)
        if (EqualNoCase(field.first, name)) return &field.second;
    return nullptr;
}

void Fields::Add(std::string name, std::string value) {
    m_fields.emplace_back(std::move(name), std::move(value));
}

bool Fields::Continue(const std::string& line) {
    if (m_fields.empty()) return false;
    std::string& value = m_fields.back().second;
    value += (value.empty() ? "" : "\n") + Trim(line);
    return true;
}

ResponseParser::ResponseParser(Limits limits, BodySink sink)
    : m_limits(limits), m_sink(std::move(sink)) {}

bool ResponseParser::Fail(const std::string& why) {
    m_state = State::Malformed;
    m_error = why;
    return false;
}

size_t ResponseParser::Feed(const char* data, size_t size) {
    const char* p = data;
    const char* const end = data + size;
    while (p < end && m_state == State::Incomplete) {
        if (m_phase == Phase::ChunkData) {
            TakeChunkData(p, end);
            continue;
        }
        const bool header = m_phase != Phase::ChunkSize && m_phase != Phase::ChunkEnd;
        std::string line;
        if (TakeLine(p, end, header, &line)) OnLine(line);
    }
    return static_cast<size_t>(p - data);
}

// Collects the bytes of a line up to and with its '\n'; true with the line (without
// its line end) once it is whole. The limit crossed first, byte by byte, is the one
// reported.
bool ResponseParser::TakeLine(const char*& p, const char* end, bool header, std::string* line) {
    const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p));
    const char* newline = static_cast<const char*>(found);
    const size_t n = static_cast<size_t>((newline != nullptr ? newline + 1 : end) - p);
    const size_t lineRoom = m_limits.maxLine - m_line.size();
    const size_t headerRoom = header ? m_limits.maxHeaderBytes - m_headerBytes : static_cast<size_t>(-1);
    if (n > lineRoom || n > headerRoom) {
        return lineRoom <= headerRoom
                   ? Fail("a line longer than " + std::to_string(m_limits.maxLine) + " bytes")
                   : Fail("header sections longer than " + std::to_string(m_limits.maxHeaderBytes) +
                          " bytes in all");
    }
    m_line.append(p, n);
    p += n;
    if (header) m_headerBytes += n;
    if (m_phase == Phase::SectionStart || m_phase == Phase::SectionFields) m_encapsulatedBytes += n;
    if (newline == nullptr) return false;
    line->swap(m_line);
    m_line.clear();
    line->pop_back();
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

bool ResponseParser::OnLine(const std::string& line) {
    if (HasControlByte(line)) return Fail("a control byte in a line");
    switch (m_phase) {
        case Phase::StatusLine:
            return OnStatusLine(line);
        case Phase::IcapFields:
            return line.empty() ? OnIcapFieldsEnd() : OnFieldLine(line, &m_icapFields);
        case Phase::SectionStart:
            return OnSectionStart(line);
        case Phase::SectionFields:
            return line.empty() ? OnSectionEnd() : OnFieldLine(line, m_sectionFields);
        case Phase::ChunkSize:
            return OnChunkSize(line);
        case Phase::ChunkEnd:
            if (!line.empty()) return Fail("no line end after a chunk's data");
            m_phase = Phase::ChunkSize;
            return true;
        case Phase::Trailer:
            if (!line.empty()) return OnFieldLine(line, &m_otherFields);
            m_phase = Phase::Done;
            m_state = State::Complete;
            return true;
        case Phase::ChunkData:
        case Phase::Done:
            break;
    }
    return Fail("a line where none was expected");
}

bool ResponseParser::OnStatusLine(const std::string& line) {
    m_status = StatusOf(line, "ICAP/", &m_reason);
    if (m_status == 0) return Fail("not an ICAP status line: '" + Printable(line) + "'");
    m_phase = Phase::IcapFields;
    return true;
}

bool ResponseParser::OnFieldLine(const std::string& line, Fields* fields) {
    if (line[0] == ' ' || line[0] == '\t') {
        if (!fields->Continue(line)) return Fail("a continuation line without a field before it");
        return true;
    }
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) return Fail("a header line without a field name");
    for (size_t i = 0; i < colon; ++i)
        if (!IsTokenChar(line[i])) return Fail("a bad field name in a header line");
    if (fields->Count() >= m_limits.maxFields)
        return Fail("more than " + std::to_string(m_limits.maxFields) + " fields in a header section");
    fields->Add(line.substr(0, colon), Trim(line.substr(colon + 1)));
    return true;
}

bool ResponseParser::OnIcapFieldsEnd() {
    const std::string* encapsulated = m_icapFields.Find("Encapsulated");
    if (m_status < 200 || encapsulated == nullptr) {
        // An interim answer (100 Continue), or one that encapsulates nothing.
        m_phase = Phase::Done;
        m_state = State::Complete;
        return true;
    }
    if (!ReadEncapsulated(*encapsulated)) return false;
    return StartSection();
}

// "res-hdr=0, res-body=137": header sections at ascending offsets, then one body.
bool ResponseParser::ReadEncapsulated(const std::string& value) {
    auto bad = [&] { return Fail("a bad Encapsulated field: '" + Printable(value) + "'"); };
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        const std::string part = Trim(value.substr(start, comma - start));
        start = comma + 1;
        const size_t equals = part.find('=');
        if (equals == std::string::npos) return bad();
        Section s;
        s.name = part.substr(0, equals);
        const std::string digits = part.substr(equals + 1);
        if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos)
            return bad();
        s.offset = std::stoull(digits);
        const bool header = IsHeaderSection(s.name);
        if (!header && !IsBodySection(s.name)) return bad();
        if (!m_sections.empty()) {
            const Section& last = m_sections.back();
            if (!IsHeaderSection(last.name) || s.offset <= last.offset) return bad();
            if (header && s.name == last.name) return bad();
            if (s.name == "req-hdr") return bad();  // it can only come first
        } else if (s.offset != 0) {
            return bad();
        }
        m_sections.push_back(s);
    }
    return IsBodySection(m_sections.back().name) ? true : bad();
}

bool ResponseParser::StartSection() {
    const Section& s = m_sections[m_nextSection];
    if (IsHeaderSection(s.name)) {
        m_phase = Phase::SectionStart;
        m_sectionFields = s.name == "res-hdr" ? &m_httpFields : &m_otherFields;
        m_sectionFields->Clear();
        return true;
    }
    if (s.name == "null-body") {
        m_phase = Phase::Done;
        m_state = State::Complete;
        return true;
    }
    m_hasBody = true;
    m_phase = Phase::ChunkSize;
    return true;
}

bool ResponseParser::OnSectionStart(const std::string& line) {
    if (m_sections[m_nextSection].name == "res-hdr") {
        m_httpStatus = StatusOf(line, "HTTP/", nullptr);
        if (m_httpStatus == 0)
            return Fail("not an HTTP status line: '" + Printable(line) + "'");
    } else if (line.empty()) {
        return Fail("an empty request line in the encapsulated request header");
    }
    m_phase = Phase::SectionFields;
    return true;
}

bool ResponseParser::OnSectionEnd() {
    ++m_nextSection;
    if (m_encapsulatedBytes != m_sections[m_nextSection].offset)
        return Fail("the Encapsulated offsets do not match the header sections (" +
                    m_sections[m_nextSection].name + " at " +
                    std::to_string(m_sections[m_nextSection].offset) + ", found at " +
                    std::to_string(m_encapsulatedBytes) + ")");
    return StartSection();
}

// "HEX[ ][; extension]".
bool ResponseParser::OnChunkSize(const std::string& line) {
    size_t at = 0;
    uint64_t size = 0;
    while (at < line.size() && std::isxdigit(static_cast<unsigned char>(line[at]))) {
        if (at == 15) return Fail("a chunk size beyond limits");
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[at])));
        size = size * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        ++at;
    }
    if (at == 0) return Fail("a bad chunk size line: '" + Printable(line) + "'");
    const std::string rest = Trim(line.substr(at));
    if (!rest.empty() && rest[0] != ';') return Fail("a bad chunk size line: '" + Printable(line) + "'");
    if (size == 0) {
        m_phase = Phase::Trailer;
        m_otherFields.Clear();
    } else {
        m_chunkLeft = size;
        m_phase = Phase::ChunkData;
    }
    return true;
}

void ResponseParser::TakeChunkData(const char*& p, const char* end) {
    const uint64_t available = static_cast<uint64_t>(end - p);
    const size_t n = static_cast<size_t>(m_chunkLeft < available ? m_chunkLeft : available);
    if (m_sink) m_sink(p, n);
    p += n;
    m_bodyBytes += n;
    m_chunkLeft -= n;
    if (m_chunkLeft == 0) m_phase = Phase::ChunkEnd;
}

std::string FindingOf(const Fields& fields, bool* found) {
    *found = false;
    std::string name;
    if (const std::string* v = fields.Find("X-Infection-Found")) {
        *found = true;
        name = ThreatOfInfection(*v);
    }
    if (const std::string* v = fields.Find("X-Violations-Found")) {
        *found = true;
        if (name.empty()) name = ThreatsOfViolations(*v);
    }
    if (const std::string* v = fields.Find("X-Virus-ID")) {
        *found = true;
        if (name.empty()) name = Trim(*v);
    }
    return Printable(name);
}

}  // namespace zykproxy::icap
