// The ClamAV back-end: a compiled engine scanning each held file, loaded again when its
// database files change. Size limits are raised to the library's ceiling, and content
// that still exceeds a limit is reported as a finding rather than passed unscanned.
#include <clamav.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>

#include "platform/system.h"
#include "scan/scanner.h"

namespace zykproxy {

namespace {

namespace fs = std::filesystem;

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

bool IsDatabaseFile(const fs::path& p) {
    static const std::set<std::string> kExtensions = {
        ".cvd", ".cld", ".cud", ".hdb", ".hsb", ".hdu", ".hsu", ".mdb", ".msb", ".mdu",
        ".msu", ".ndb", ".ndu", ".ldb", ".ldu", ".idb", ".cdb", ".fp",  ".sfp", ".yar",
        ".yara", ".cbc", ".pdb", ".wdb", ".gdb", ".ign", ".ign2", ".ftm", ".crb"};
    return kExtensions.count(p.extension().string()) != 0;
}

bool FolderHoldsDatabases(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file(ec) && IsDatabaseFile(entry.path())) return true;
    return false;
}

// One compiled engine. Each check holds it for as long as it scans, so the engine is
// freed after the last check that began on it, whichever engine is in force by then.
struct Engine {
    cl_engine* engine = nullptr;
    unsigned signatures = 0;
    Engine() = default;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine() {
        if (engine != nullptr) cl_engine_free(engine);
    }
};

std::shared_ptr<const Engine> LoadEngine(const std::vector<std::string>& databases,
                                         std::string* error) {
    auto owner = std::make_shared<Engine>();
    owner->engine = cl_engine_new();
    if (owner->engine == nullptr) {
        *error = "clamav: cannot create an engine";
        return nullptr;
    }
    // Scan files up to the library's own ceiling (2 GiB - 1) instead of its default of
    // 100 MB; anything beyond a limit is then reported as a finding (EXCEEDS_MAX).
    cl_engine_set_num(owner->engine, CL_ENGINE_MAX_FILESIZE, 0x7FFFFFFFLL);
    cl_engine_set_num(owner->engine, CL_ENGINE_MAX_SCANSIZE, 0x7FFFFFFFLL);
    std::string sources;
    for (const std::string& db : databases) {
        const cl_error_t rc = cl_load(db.c_str(), owner->engine, &owner->signatures, CL_DB_STDOPT);
        if (rc != CL_SUCCESS) {
            *error = "clamav: cannot load " + db + ": " + cl_strerror(rc);
            return nullptr;
        }
        sources += (sources.empty() ? "" : ", ") + db;
    }
    if (owner->signatures == 0) {
        *error = "clamav: no signatures in " + sources;
        return nullptr;
    }
    const cl_error_t rc = cl_engine_compile(owner->engine);
    if (rc != CL_SUCCESS) {
        *error = std::string("clamav: cannot compile the engine: ") + cl_strerror(rc);
        return nullptr;
    }
    return owner;
}

// What the database files looked like: each folder's library record (cl_statinidir),
// each single file's time and size. Anything that cannot be looked at counts as changed,
// so that the load that follows says what is wrong.
class DatabaseState {
public:
    explicit DatabaseState(const std::vector<std::string>& databases) {
        for (const std::string& db : databases) Take(db);
    }
    DatabaseState(const DatabaseState&) = delete;
    DatabaseState& operator=(const DatabaseState&) = delete;
    ~DatabaseState() {
        for (auto& folder : m_folders) cl_statfree(folder.get());
    }

    bool Changed() const {
        if (m_unreadable) return true;
        for (const auto& folder : m_folders)
            if (cl_statchkdir(folder.get()) != 0) return true;
        for (const File& file : m_files)
            if (File::Of(file.path) != file) return true;
        return false;
    }

private:
    struct File {
        std::string path;
        fs::file_time_type time{};
        uintmax_t size = 0;
        bool readable = false;
        static File Of(const std::string& path) {
            File f{path};
            std::error_code timeError, sizeError;
            f.time = fs::last_write_time(path, timeError);
            f.size = fs::file_size(path, sizeError);
            f.readable = !timeError && !sizeError;
            return f;
        }
        bool operator!=(const File& o) const {
            return !readable || !o.readable || time != o.time || size != o.size;
        }
    };

    void Take(const std::string& db) {
        std::error_code ec;
        if (!fs::is_directory(db, ec)) {
            m_files.push_back(File::Of(db));
            return;
        }
        auto folder = std::make_unique<cl_stat>();
        if (cl_statinidir(db.c_str(), folder.get()) != CL_SUCCESS) {
            m_unreadable = true;  // cl_statinidir has freed what it took
            return;
        }
        m_folders.push_back(std::move(folder));
    }

    std::vector<std::unique_ptr<cl_stat>> m_folders;
    std::vector<File> m_files;
    bool m_unreadable = false;
};

class ClamavScanner final : public Scanner, public SignatureSet {
public:
    ClamavScanner(std::vector<std::string> databases, std::shared_ptr<const Engine> engine,
                  std::unique_ptr<DatabaseState> state)
        : m_databases(std::move(databases)), m_state(std::move(state)), m_engine(std::move(engine)),
          m_loadedAt(std::chrono::system_clock::now()) {}

    std::string Describe() const override {
        std::string sources;
        for (const std::string& db : m_databases) sources += (sources.empty() ? "" : ", ") + db;
        return "clamav " + std::string(cl_retver()) + ", " + std::to_string(Current()->signatures) +
               " signatures from " + sources;
    }

    ScanOutcome Scan(const std::string& path, const CheckDetails&) override {
        const std::shared_ptr<const Engine> engine = Current();
        cl_scan_options options{};
        options.general = CL_SCAN_GENERAL_HEURISTICS;
        options.parse = ~0u;
        options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX;
        const char* name = nullptr;
        unsigned long scanned = 0;
        const cl_error_t rc = cl_scanfile(path.c_str(), &name, &scanned, engine->engine, &options);
        if (rc == CL_CLEAN) return {ScanOutcome::Verdict::Clean, ""};
        if (rc == CL_VIRUS) return {ScanOutcome::Verdict::Infected, name != nullptr ? name : "?"};
        return {ScanOutcome::Verdict::Failed, std::string("clamav: ") + cl_strerror(rc)};
    }

    SignatureSet* Signatures() override { return this; }
    Reload ReloadIfChanged() override;
    Status GetStatus() const override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return {m_engine->signatures, m_loadedAt, m_reloads, m_failedReloads};
    }

private:
    std::shared_ptr<const Engine> Current() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_engine;
    }

    const std::vector<std::string> m_databases;
    std::mutex m_reloadMutex;  // one reload at a time; guards the two below
    std::unique_ptr<DatabaseState> m_state;  // as the files were when the engine in force was loaded
    bool m_lastFailed = false;
    mutable std::mutex m_mutex;  // guards the engine in force and the figures below
    std::shared_ptr<const Engine> m_engine;
    std::chrono::system_clock::time_point m_loadedAt;
    unsigned long m_reloads = 0, m_failedReloads = 0;
};

SignatureSet::Reload ClamavScanner::ReloadIfChanged() {
    Reload r;
    std::lock_guard<std::mutex> reloading(m_reloadMutex);
    if (!m_lastFailed && !m_state->Changed()) {
        r.before = r.after = GetStatus().signatures;
        return r;
    }
    // Looked at before the load, so that a change made during it is seen next time.
    auto state = std::make_unique<DatabaseState>(m_databases);
    const auto start = std::chrono::steady_clock::now();
    const std::shared_ptr<const Engine> fresh = LoadEngine(m_databases, &r.error);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::shared_ptr<const Engine> old;  // freed below, outside the lock, unless a check holds it
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        r.before = r.after = m_engine->signatures;
        if (!fresh) {
            ++m_failedReloads;
        } else {
            old = std::move(m_engine);
            m_engine = fresh;
            m_loadedAt = std::chrono::system_clock::now();
            ++m_reloads;
            r.after = fresh->signatures;
        }
    }
    m_lastFailed = !fresh;
    r.kind = fresh ? Reload::Kind::Loaded : Reload::Kind::Failed;
    if (fresh) m_state = std::move(state);
    return r;
}

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
    auto state = std::make_unique<DatabaseState>(databases);
    std::shared_ptr<const Engine> engine = LoadEngine(databases, error);
    if (!engine) return nullptr;
    return std::make_unique<ClamavScanner>(databases, std::move(engine), std::move(state));
}

}  // namespace zykproxy
