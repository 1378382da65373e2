// The ClamAV back-end: one engine, loaded and compiled at start, scanning each held
// file. Size limits are raised to the library's ceiling, and content that still
// exceeds a limit is reported as a finding rather than passed unscanned.
#include <clamav.h>

#include <filesystem>
#include <mutex>
#include <set>

#include "platform/system.h"
#include "scan/scanner.h"

namespace zykproxy {

namespace {

std::mutex g_logMutex;
ScannerLog g_log;

void OnLibraryMessage(enum cl_msg severity, const char* fullmsg, const char* msg, void*) {
    if (severity == CL_MSG_INFO_VERBOSE) return;
    std::lock_guard<std::mutex> guard(g_logMutex);
    if (!g_log) return;
    std::string text = fullmsg != nullptr ? fullmsg : (msg != nullptr ? msg : "");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    g_log("clamav: " + text);
}

bool IsDatabaseFile(const std::filesystem::path& p) {
    static const std::set<std::string> kExtensions = {
        ".cvd", ".cld", ".cud", ".hdb", ".hsb", ".hdu", ".hsu", ".mdb", ".msb", ".mdu",
        ".msu", ".ndb", ".ndu", ".ldb", ".ldu", ".idb", ".cdb", ".fp",  ".sfp", ".yar",
        ".yara", ".cbc", ".pdb", ".wdb", ".gdb", ".ign", ".ign2", ".ftm", ".crb"};
    return kExtensions.count(p.extension().string()) != 0;
}

bool FolderHoldsDatabases(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.is_regular_file(ec) && IsDatabaseFile(entry.path())) return true;
    return false;
}

class ClamavScanner final : public Scanner {
public:
    explicit ClamavScanner(cl_engine* engine, unsigned signatures, std::string sources)
        : m_engine(engine), m_signatures(signatures), m_sources(std::move(sources)) {}
    ~ClamavScanner() override { cl_engine_free(m_engine); }

    std::string Describe() const override {
        return "clamav " + std::string(cl_retver()) + ", " + std::to_string(m_signatures) +
               " signatures from " + m_sources;
    }

    ScanOutcome Scan(const std::string& path, const CheckDetails&) override {
        cl_scan_options options{};
        options.general = CL_SCAN_GENERAL_HEURISTICS;
        options.parse = ~0u;
        options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX;
        const char* name = nullptr;
        unsigned long scanned = 0;
        const cl_error_t rc = cl_scanfile(path.c_str(), &name, &scanned, m_engine, &options);
        if (rc == CL_CLEAN) return {ScanOutcome::Verdict::Clean, ""};
        if (rc == CL_VIRUS) return {ScanOutcome::Verdict::Infected, name != nullptr ? name : "?"};
        return {ScanOutcome::Verdict::Failed, std::string("clamav: ") + cl_strerror(rc)};
    }

private:
    cl_engine* m_engine;
    unsigned m_signatures;
    std::string m_sources;
};

struct EngineOwner {
    cl_engine* engine = nullptr;
    ~EngineOwner() {
        if (engine != nullptr) cl_engine_free(engine);
    }
};

}  // namespace

std::vector<std::string> DefaultClamavDatabases() {
    std::vector<std::string> out;
    const char* system = cl_retdbdir();
    if (system != nullptr && FolderHoldsDatabases(system)) out.emplace_back(system);
    const std::string shipped = platform::ExecutableFolder() + "zykproxy-signatures";
    if (FolderHoldsDatabases(shipped)) out.push_back(shipped);
    return out;
}

std::unique_ptr<Scanner> MakeClamavScanner(const std::vector<std::string>& databases,
                                           ScannerLog log, std::string* error) {
    {
        std::lock_guard<std::mutex> guard(g_logMutex);
        g_log = std::move(log);
    }
    static const cl_error_t initialised = [] {
        cl_set_clcb_msg(&OnLibraryMessage);
        return cl_init(CL_INIT_DEFAULT);
    }();
    if (initialised != CL_SUCCESS) {
        *error = std::string("clamav: cl_init: ") + cl_strerror(initialised);
        return nullptr;
    }
    if (databases.empty()) {
        *error = "clamav: no signature database found (give one with --clamav-db)";
        return nullptr;
    }
    EngineOwner owner;
    owner.engine = cl_engine_new();
    if (owner.engine == nullptr) {
        *error = "clamav: cannot create an engine";
        return nullptr;
    }
    // Scan files up to the library's own ceiling (2 GiB - 1) instead of its default of
    // 100 MB; anything beyond a limit is then reported as a finding (EXCEEDS_MAX).
    cl_engine_set_num(owner.engine, CL_ENGINE_MAX_FILESIZE, 0x7FFFFFFFLL);
    cl_engine_set_num(owner.engine, CL_ENGINE_MAX_SCANSIZE, 0x7FFFFFFFLL);
    unsigned signatures = 0;
    std::string sources;
    for (const std::string& db : databases) {
        const cl_error_t rc = cl_load(db.c_str(), owner.engine, &signatures, CL_DB_STDOPT);
        if (rc != CL_SUCCESS) {
            *error = "clamav: cannot load " + db + ": " + cl_strerror(rc);
            return nullptr;
        }
        sources += (sources.empty() ? "" : ", ") + db;
    }
    if (signatures == 0) {
        *error = "clamav: no signatures in " + sources;
        return nullptr;
    }
    const cl_error_t rc = cl_engine_compile(owner.engine);
    if (rc != CL_SUCCESS) {
        *error = std::string("clamav: cannot compile the engine: ") + cl_strerror(rc);
        return nullptr;
    }
    cl_engine* engine = owner.engine;
    owner.engine = nullptr;
    return std::make_unique<ClamavScanner>(engine, signatures, sources);
}

}  // namespace zykproxy
