// The ICAP back-end: a small ICAP client on zykproxy's own sockets (so the Windows
// build has it too). OPTIONS at start, and again once its Options-TTL has run out;
// then one RESPMOD per held file, which carries the file as the body of an invented
// HTTP response: a preview of the size the service asked for, the rest after
// "100 Continue", streamed from the held file in chunks. Connections are kept alive
// and reused, up to the service's Max-Connections. The verdict fails closed: only a
// 204 that names no finding, or the file sent back byte for byte, lets the file pass.
#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "scan/icap_response.h"
#include "scan/scanner.h"

namespace zykproxy {

namespace {

using Clock = Deadline::Clock;
constexpr size_t kChunkSize = 64 * 1024;
constexpr int kWaitStepMs = 50;  // while the server takes no bytes, what it sends is looked at this often
constexpr size_t kMaxNameLength = 200;
const char kAbandoned[] = "check abandoned: zykproxy is stopping";
const char kInventedHost[] = "zykproxy.invalid";

ScanOutcome Failed(const std::string& why) { return {ScanOutcome::Verdict::Failed, why}; }

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Whether a list such as "RESPMOD, REQMOD" holds the token.
bool HasToken(const std::string* list, const std::string& token) {
    if (list == nullptr) return false;
    size_t start = 0;
    while (start < list->size()) {
        const size_t end = std::min(list->find_first_of(", \t\n", start), list->size());
        if (EqualNoCase(list->substr(start, end - start), token)) return true;
        start = end + 1;
    }
    return false;
}

bool ReadCount(const std::string* text, uint64_t ceiling, uint64_t* out) {
    if (text == nullptr || text->empty() || text->size() > 18 ||
        text->find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::min<uint64_t>(std::stoull(*text), ceiling);
    return true;
}

std::string Shown(const std::string* text) {
    std::string out;
    for (const char c : text != nullptr ? text->substr(0, kMaxNameLength) : std::string())
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    return out;
}

// What the service said of itself in its OPTIONS answer.
struct ServiceOptions {
    bool respmod = false;
    std::string methods, service, istag;
    bool previewGiven = false;
    uint64_t preview = 0;
    bool allow204 = false;
    unsigned maxConnections = 0;  // 0: no limit given
    long long ttlSeconds = -1;    // -1: none given, the answer holds for good
    Clock::time_point fetched;

    bool Expired() const {
        return ttlSeconds >= 0 && Clock::now() >= fetched + std::chrono::seconds(ttlSeconds);
    }
};

ServiceOptions OptionsFrom(const icap::Fields& fields) {
    ServiceOptions o;
    o.respmod = HasToken(fields.Find("Methods"), "RESPMOD");
    o.methods = Shown(fields.Find("Methods"));
    o.service = Shown(fields.Find("Service"));
    o.istag = Shown(fields.Find("ISTag"));
    uint64_t n = 0;
    if (ReadCount(fields.Find("Preview"), uint64_t{1} << 30, &n)) {
        o.previewGiven = true;
        o.preview = n;
    }
    o.allow204 = HasToken(fields.Find("Allow"), "204");
    if (ReadCount(fields.Find("Max-Connections"), 100000, &n)) o.maxConnections = static_cast<unsigned>(n);
    if (ReadCount(fields.Find("Options-TTL"), 365LL * 86400, &n)) o.ttlSeconds = static_cast<long long>(n);
    o.fetched = Clock::now();
    return o;
}

bool CloseAsked(const icap::ResponseParser& answer) {
    return HasToken(answer.IcapFields().Find("Connection"), "close");
}

// --- the request ------------------------------------------------------------------

// The announced name as a quoted-string can carry it: printable ASCII, no quote or
// backslash, a sane length.
std::string QuotableName(const std::string& name) {
    std::string out;
    for (const char c : name.substr(0, kMaxNameLength)) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') ? '_' : c;
    }
    return out.empty() ? "file" : out;
}

// The announced name as one URL path segment, every byte kept (percent-encoded).
std::string UrlSegment(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name.substr(0, kMaxNameLength)) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out.empty() ? "file" : out;
}

// The RESPMOD head with the invented HTTP request (a GET whose URL names the
// connection and the file) and response (200 OK, the file as an attachment).
std::string RespmodHead(const icap::Url& url, const CheckDetails& details, uint64_t size,
                        bool previewGiven, uint64_t previewBytes) {
    const std::string connection =
        details.connection >= 0 ? std::to_string(details.connection) : "unknown";
    const std::string request = "GET http://" + std::string(kInventedHost) + "/connection-" +
                                connection + "/" + UrlSegment(details.announcedName) +
                                " HTTP/1.1\r\nHost: " + kInventedHost + "\r\n\r\n";
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
        std::to_string(size) + "\r\nContent-Disposition: attachment; filename=\"" +
        QuotableName(details.announcedName) + "\"\r\n\r\n";
    std::string head = "RESPMOD " + url.Uri() + " ICAP/1.0\r\nHost: " + url.HostHeader() +
                       "\r\nAllow: 204\r\n";
    if (previewGiven) head += "Preview: " + std::to_string(previewBytes) + "\r\n";
    head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(request.size()) +
            ", res-body=" + std::to_string(request.size() + response.size()) + "\r\n\r\n";
    return head + request + response;
}

std::string Hex(uint64_t value) {
    std::string out;
    do {
        out.insert(out.begin(), "0123456789abcdef"[value & 15]);
        value >>= 4;
    } while (value != 0);
    return out;
}

std::string OptionsRequest(const icap::Url& url) {
    return "OPTIONS " + url.Uri() + " ICAP/1.0\r\nHost: " + url.HostHeader() +
           "\r\nEncapsulated: null-body=0\r\n\r\n";
}

// --- connections ------------------------------------------------------------------

// The connections to the service: idle ones are kept for the next request, and at
// most the service's Max-Connections are open at once.
class ConnectionPool {
public:
    explicit ConnectionPool(net::Endpoint where) : m_where(std::move(where)) {}

    void SetLimit(unsigned limit) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_limit = limit;
        m_changed.notify_all();
    }

    // An idle connection when allowIdle (*reused then true) or a new one; waits while
    // the limit is reached. An invalid socket and a reason on failure.
    net::Socket Acquire(const Deadline& deadline, bool allowIdle, bool* reused, std::string* error) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const bool free = m_changed.wait_until(lock, deadline.End(), [&] {
                return m_abandoned || !m_idle.empty() || m_limit == 0 || m_busy < m_limit;
            });
            if (m_abandoned || !free) {
                *error = m_abandoned ? kAbandoned
                                     : "no connection to the ICAP server came free in time (Max-Connections " +
                                           std::to_string(m_limit) + ")";
                return net::Socket();
            }
            ++m_busy;
            while (allowIdle && !m_idle.empty()) {
                net::Socket s = std::move(m_idle.back());
                m_idle.pop_back();
                // An idle connection with anything to read has been closed by the server
                // (or carries bytes nobody asked for): it is not used again.
                if (net::Wait(s.Get(), false, 0) == 0) {
                    *reused = true;
                    return s;
                }
            }
            // Room for a new connection: idle ones beyond the limit are closed.
            while (m_limit != 0 && !m_idle.empty() && m_busy + m_idle.size() > m_limit)
                m_idle.erase(m_idle.begin());
        }
        return Connect(deadline, error);
    }

    // Takes a connection back: kept for the next request when keep, else closed.
    void Release(net::Socket s, bool keep) {
        std::lock_guard<std::mutex> guard(m_mutex);
        --m_busy;
        if (keep && !m_abandoned && (m_limit == 0 || m_busy + m_idle.size() < m_limit))
            m_idle.push_back(std::move(s));
        m_changed.notify_one();
    }

    // Closes the idle connections and keeps no more; waiting requests end at once.
    void Abandon() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_abandoned = true;
        m_idle.clear();
        m_changed.notify_all();
    }

private:
    net::Socket Connect(const Deadline& deadline, std::string* error) {
        std::string reason;
        net::Socket s = net::Connect(m_where, deadline.LeftMs(), &reason);
        if (s.Valid()) {
            // Sends never block: while the server takes nothing, its answer is read.
            net::SetBlocking(s.Get(), false);
            return s;
        }
        *error = "ICAP server unreachable: " + reason;
        std::lock_guard<std::mutex> guard(m_mutex);
        --m_busy;
        m_changed.notify_one();
        return net::Socket();
    }

    net::Endpoint m_where;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<net::Socket> m_idle;  // guarded by m_mutex, like the counts
    size_t m_busy = 0;
    unsigned m_limit = 0;
    bool m_abandoned = false;
};

// One request and its answers on a connection, within the check's deadline. While
// the request is sent, what the server sends meanwhile is taken in too, so that
// neither side waits for the other to read.
class Conversation {
public:
    Conversation(net::SocketId socket, const Deadline& deadline, const CheckSockets& checks)
        : m_socket(socket), m_deadline(deadline), m_checks(checks), m_buffer(kChunkSize) {}

    // The parser of the next answer; bytes received after the last one go to it first.
    void Listen(icap::ResponseParser* parser) {
        m_parser = parser;
        m_pending.erase(0, m_parser->Feed(m_pending.data(), m_pending.size()));
    }

    // Sends every byte; false when it cannot (Problem says why), or when the answer
    // is complete before the request is.
    bool Send(const char* data, size_t size) {
        if (!TakePending() || AnswerEnded()) return false;
        while (size > 0) {
            if (m_checks.Abandoned()) return false;
            const int n = net::SendSome(m_socket, data, static_cast<int>(std::min<size_t>(size, 1 << 20)));
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n == net::kFailed) {
                m_sendError = net::LastErrorText();
                return false;
            }
            if (!TakePending() || AnswerEnded()) return false;
            const int left = m_deadline.LeftMs();
            if (left == 0) {
                m_timedOut = true;
                return false;
            }
            net::Wait(m_socket, true, std::min(left, kWaitStepMs));
        }
        return true;
    }
    bool Send(const std::string& data) { return Send(data.data(), data.size()); }

    // Reads until the parser has the whole answer (or finds it malformed); false when
    // the time runs out or the connection ends first.
    bool ReadAnswer() {
        while (!AnswerEnded()) {
            if (m_closed || m_failed || m_checks.Abandoned()) return false;
            const int left = m_deadline.LeftMs();
            const int n = left == 0 ? net::kNothingPending
                                    : net::ReceiveWait(m_socket, m_buffer.data(), static_cast<int>(m_buffer.size()), left);
            if (!Took(n)) return false;
        }
        return true;
    }

    bool Answered() const { return m_received > 0; }
    // Whether the connection can carry another request after this answer.
    bool Clean() const { return m_pending.empty() && !m_closed && !m_failed; }

    // Why the answer is not complete.
    std::string Problem(int timeoutMs) const {
        if (m_checks.Abandoned()) return kAbandoned;
        if (m_timedOut)
            return std::string(Answered() ? "no complete answer" : "no answer") + " from the ICAP server within " +
                   std::to_string(timeoutMs / 1000) + " s";
        if (Answered())
            return "the ICAP server " + std::string(m_failed ? "lost the connection" : "closed the connection") +
                   " in the middle of its answer";
        if (!m_sendError.empty()) return "the ICAP server did not take the request (" + m_sendError + ")";
        return "the ICAP server closed the connection without an answer";
    }

private:
    bool AnswerEnded() const {
        return m_parser != nullptr && m_parser->GetState() != icap::ResponseParser::State::Incomplete;
    }

    // What the server has sent so far, without waiting; false when it has closed.
    bool TakePending() {
        while (!AnswerEnded()) {
            const int n = net::ReceiveNow(m_socket, m_buffer.data(), static_cast<int>(m_buffer.size()));
            if (n == net::kNothingPending) return true;
            if (!Took(n)) return false;
        }
        return true;
    }

    // One receive's result; false when the connection ended or the time ran out.
    bool Took(int n) {
        if (n <= 0) {
            m_timedOut = n == net::kNothingPending;
            m_closed = n == 0;
            m_failed = n == net::kFailed;
            return false;
        }
        m_received += static_cast<uint64_t>(n);
        const char* data = m_buffer.data();
        const size_t taken = m_parser->Feed(data, static_cast<size_t>(n));
        m_pending.append(data + taken, static_cast<size_t>(n) - taken);
        return true;
    }

    net::SocketId m_socket;
    const Deadline& m_deadline;
    const CheckSockets& m_checks;
    std::vector<char> m_buffer;
    icap::ResponseParser* m_parser = nullptr;
    std::string m_pending;  // received after the last answer ended
    uint64_t m_received = 0;
    bool m_timedOut = false, m_closed = false, m_failed = false;
    std::string m_sendError;
};

// Compares an answer's body with the held file as its bytes come in, reading the
// file in step, so that neither is ever held whole.
class BodyComparison {
public:
    BodyComparison(const std::string& path, uint64_t size)
        : m_in(path, std::ios::binary), m_size(size), m_same(static_cast<bool>(m_in)) {}

    void Take(const char* data, size_t n) {
        m_seen += n;
        if (!m_same || m_seen > m_size) {
            m_same = false;
            return;
        }
        if (m_buffer.empty()) m_buffer.resize(kChunkSize);
        while (n > 0 && m_same) {
            const size_t step = std::min(n, m_buffer.size());
            m_in.read(m_buffer.data(), static_cast<std::streamsize>(step));
            m_same = static_cast<size_t>(m_in.gcount()) == step && std::memcmp(m_buffer.data(), data, step) == 0;
            data += step;
            n -= step;
        }
    }
    bool Same() const { return m_same && m_seen == m_size; }
    uint64_t Seen() const { return m_seen; }

private:
    std::ifstream m_in;
    uint64_t m_size;
    bool m_same;
    uint64_t m_seen = 0;
    std::vector<char> m_buffer;
};

// The verdict of a complete answer (other than 100 Continue). A finding in a 200, 204
// or 403 is an infection: a 204 that names a threat contradicts itself, and fails closed.
ScanOutcome Judge(const icap::ResponseParser& answer, const BodyComparison& body, uint64_t size) {
    const int status = answer.Status();
    bool found = false;
    std::string name = icap::FindingOf(answer.IcapFields(), &found);
    if (!found) name = icap::FindingOf(answer.HttpFields(), &found);
    if ((status == 200 || status == 204 || status == 403) && found)
        return {ScanOutcome::Verdict::Infected,
                name.empty() ? "the ICAP server reports a finding without a name" : name};
    if (status == 204) return {ScanOutcome::Verdict::Clean, ""};
    if (status != 200)
        return Failed("the ICAP server answered " + std::to_string(status) + " " + Shown(&answer.Reason()));
    const int http = answer.HttpStatus();
    if (answer.HasBody() && body.Same() && (http == 0 || http == 200)) return {ScanOutcome::Verdict::Clean, ""};
    std::string what = answer.HasBody() ? std::to_string(body.Seen()) + " bytes" : "no body";
    if (http != 0) what = "HTTP " + std::to_string(http) + ", " + what;
    return {ScanOutcome::Verdict::Infected, "the ICAP server sent something else in place of the " +
                                                std::to_string(size) + "-byte file (" + what + ")"};
}

// One RESPMOD of a held file on a connection.
class Respmod {
public:
    Respmod(net::SocketId socket, const Deadline& deadline, const CheckSockets& checks,
            const std::string& path, uint64_t size, int timeoutMs)
        : m_conversation(socket, deadline, checks), m_checks(checks), m_in(path, std::ios::binary),
          m_size(size), m_timeoutMs(timeoutMs), m_body(path, size) {}

    // Sends the request (head, preview, the rest after 100 Continue) and judges the
    // answer. *reusable: the connection can carry the next request.
    ScanOutcome Run(const std::string& head, bool previewGiven, uint64_t previewBytes, bool* reusable) {
        if (!m_in) return Failed("cannot read the held file");
        const bool whole = !previewGiven || previewBytes == m_size;
        icap::ResponseParser first(icap::Limits(), Sink());
        m_conversation.Listen(&first);
        bool sent = m_conversation.Send(head) &&
                    SendChunks(whole ? m_size : previewBytes, previewGiven && whole ? "0; ieof\r\n\r\n" : "0\r\n\r\n");
        if (m_fileError) return Failed("cannot read the held file");
        m_conversation.ReadAnswer();
        if (sent && !whole && Is100(first)) {
            icap::ResponseParser rest(icap::Limits(), Sink());
            m_conversation.Listen(&rest);
            sent = SendChunks(m_size - previewBytes, "0\r\n\r\n");
            if (m_fileError) return Failed("cannot read the held file");
            m_conversation.ReadAnswer();
            return Conclude(rest, sent, reusable);
        }
        return Conclude(first, sent, reusable);
    }

    bool Answered() const { return m_conversation.Answered(); }

private:
    icap::ResponseParser::BodySink Sink() {
        return [this](const char* data, size_t n) { m_body.Take(data, n); };
    }

    static bool Is100(const icap::ResponseParser& answer) {
        return answer.GetState() == icap::ResponseParser::State::Complete && answer.Status() == 100;
    }

    // The next `count` bytes of the file as chunks, then the closing text.
    bool SendChunks(uint64_t count, const char* ending) {
        std::vector<char> data(static_cast<size_t>(std::min<uint64_t>(count, kChunkSize)));
        while (count > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(count, kChunkSize));
            if (!m_in.read(data.data(), static_cast<std::streamsize>(n))) {
                m_fileError = true;
                return false;
            }
            if (!m_conversation.Send(Hex(n) + "\r\n" + std::string(data.data(), n) + "\r\n")) return false;
            count -= n;
        }
        return m_conversation.Send(ending);
    }

    ScanOutcome Conclude(const icap::ResponseParser& answer, bool sent, bool* reusable) {
        if (m_checks.Abandoned()) return Failed(kAbandoned);
        if (answer.GetState() == icap::ResponseParser::State::Malformed)
            return Failed("malformed ICAP answer: " + answer.Error());
        if (answer.GetState() == icap::ResponseParser::State::Incomplete)
            return Failed(m_conversation.Problem(m_timeoutMs));
        if (answer.Status() < 200)
            return Failed("the ICAP server answered " + std::to_string(answer.Status()) + " where no preview was open");
        *reusable = sent && m_conversation.Clean() && !CloseAsked(answer);
        return Judge(answer, m_body, m_size);
    }

    Conversation m_conversation;
    const CheckSockets& m_checks;
    std::ifstream m_in;
    uint64_t m_size;
    int m_timeoutMs;
    BodyComparison m_body;
    bool m_fileError = false;
};

class IcapScanner final : public Scanner {
public:
    IcapScanner(icap::Url url, int timeoutMs)
        : m_url(std::move(url)), m_timeoutMs(timeoutMs), m_pool(net::Endpoint{m_url.host, m_url.port}) {}

    bool Start(std::string* error) {
        Deadline deadline(m_timeoutMs);
        ServiceOptions options;
        if (!QueryOptions(deadline, &options, error)) {
            *error = "ICAP service " + m_url.Uri() + ": " + *error;
            return false;
        }
        if (!options.respmod) {
            *error = "ICAP service " + m_url.Uri() + " offers no RESPMOD (Methods: " + options.methods + ")";
            return false;
        }
        m_options = options;
        m_pool.SetLimit(options.maxConnections);
        return true;
    }

    std::string Describe() const override {
        std::lock_guard<std::mutex> guard(m_optionsMutex);
        const ServiceOptions& o = m_options;
        return "icap " + m_url.Uri() + (o.service.empty() ? "" : " (" + o.service + ")") +
               ", ISTag " + (o.istag.empty() ? "none" : o.istag) + ", " +
               (o.previewGiven ? "preview " + std::to_string(o.preview) + " bytes" : "no preview") +
               (o.allow204 ? ", 204 allowed" : ", no 204: clean files come back whole") + ", " +
               (o.maxConnections != 0 ? "at most " + std::to_string(o.maxConnections) : "any number of") +
               " connections, OPTIONS " +
               (o.ttlSeconds >= 0 ? "again every " + std::to_string(o.ttlSeconds) + " s" : "once");
    }

    ScanOutcome Scan(const std::string& path, const CheckDetails& details) override {
        if (m_checks.Abandoned()) return Failed(kAbandoned);
        const Deadline deadline(m_timeoutMs);
        std::error_code ec;
        const uint64_t size = std::filesystem::file_size(path, ec);
        if (ec) return Failed("cannot read the held file");
        const ServiceOptions options = CurrentOptions(deadline);
        if (!options.respmod)
            return Failed("the ICAP service no longer offers RESPMOD (Methods: " + options.methods + ")");
        const uint64_t previewBytes = std::min(size, options.preview);
        const std::string head = RespmodHead(m_url, details, size, options.previewGiven, previewBytes);
        ScanOutcome outcome;
        std::string error;
        const bool connected = OnConnection(deadline, &error, [&](net::SocketId s, bool* keep) {
            Respmod respmod(s, deadline, m_checks, path, size, m_timeoutMs);
            outcome = respmod.Run(head, options.previewGiven, previewBytes, keep);
            return respmod.Answered();
        });
        if (m_checks.Abandoned()) return Failed(kAbandoned);
        return connected ? outcome : Failed(error);
    }

    void Abandon() override {
        m_checks.Abandon();
        m_pool.Abandon();
    }

    // The service's Max-Connections at start; a service that names none takes what the
    // cap allows. Checks beyond the connections wait in the pool for one to come free.
    int ChecksAtOnce() const override {
        std::lock_guard<std::mutex> guard(m_optionsMutex);
        // (a Max-Connections above 100,000 is not taken from the answer)
        return m_options.maxConnections != 0 ? static_cast<int>(m_options.maxConnections) : kDefaultParallelChecksCap;
    }

private:
    // Runs exchange(socket, &keep) on a pooled connection, and once more on a new one
    // when a reused connection brought no answer (the server may have closed it while
    // it was idle). exchange returns whether any answer came. False and a reason when
    // no connection can be had.
    template <typename Exchange>
    bool OnConnection(const Deadline& deadline, std::string* error, Exchange exchange) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            bool reused = false;
            net::Socket s = m_pool.Acquire(deadline, attempt == 0, &reused, error);
            if (!s.Valid()) return false;
            bool keep = false, answered = false;
            {
                const CheckSockets::Guard registered(m_checks, s.Get());
                answered = exchange(s.Get(), &keep);
            }
            m_pool.Release(std::move(s), keep);
            if (answered || !reused || m_checks.Abandoned()) break;
        }
        return true;
    }

    // Asks the service for its options; false and a reason when it gives none.
    bool QueryOptions(const Deadline& deadline, ServiceOptions* out, std::string* error) {
        const std::string request = OptionsRequest(m_url);
        std::string problem;
        int status = 0;
        std::string reason;
        const bool connected = OnConnection(deadline, error, [&](net::SocketId s, bool* keep) {
            Conversation conversation(s, deadline, m_checks);
            icap::ResponseParser answer;
            conversation.Listen(&answer);
            const bool sent = conversation.Send(request);
            conversation.ReadAnswer();
            status = answer.Status();
            reason = answer.Reason();
            problem = answer.GetState() == icap::ResponseParser::State::Malformed
                          ? "malformed ICAP answer: " + answer.Error()
                          : answer.GetState() == icap::ResponseParser::State::Incomplete
                                ? conversation.Problem(m_timeoutMs)
                                : "";
            if (problem.empty()) {
                *out = OptionsFrom(answer.IcapFields());
                *keep = sent && conversation.Clean() && !CloseAsked(answer);
            }
            return conversation.Answered();
        });
        if (!connected) return false;
        if (problem.empty() && status != 200)
            problem = "OPTIONS answered " + std::to_string(status) + " " + reason;
        *error = problem;
        return problem.empty();
    }

    // The service's options, asked again first when their Options-TTL has run out.
    // While they cannot be had, the old ones stay and the next check asks again.
    ServiceOptions CurrentOptions(const Deadline& deadline) {
        {
            std::lock_guard<std::mutex> guard(m_optionsMutex);
            if (!m_options.Expired() || m_refreshing) return m_options;
            m_refreshing = true;
        }
        ServiceOptions fresh;
        std::string error;
        const bool ok = QueryOptions(deadline, &fresh, &error);
        std::lock_guard<std::mutex> guard(m_optionsMutex);
        m_refreshing = false;
        if (ok) {
            m_options = fresh;
            m_pool.SetLimit(fresh.maxConnections);
        }
        return m_options;
    }

    icap::Url m_url;
    int m_timeoutMs;
    CheckSockets m_checks;
    ConnectionPool m_pool;
    mutable std::mutex m_optionsMutex;
    ServiceOptions m_options;  // guarded by m_optionsMutex
    bool m_refreshing = false;
};

}  // namespace

std::unique_ptr<Scanner> MakeIcapScanner(const icap::Url& url, int timeoutMs, std::string* error) {
    auto scanner = std::make_unique<IcapScanner>(url, timeoutMs);
    if (!scanner->Start(error)) return nullptr;
    return scanner;
}

}  // namespace zykproxy
