// Debugger output on POSIX: ZYKIM_DEBUG_OUTPUT, read once at load, names the sink:
// unset means nowhere (as on Windows when nobody listens), "stderr" means standard
// error, anything else is a file opened for appending.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zykim::os {

namespace {
// -1: no sink. Opened once, on first use, and kept for the life of the process.
int OpenSink() {
    const char* where = std::getenv("ZYKIM_DEBUG_OUTPUT");
    if (where == nullptr || *where == '\0') return -1;
    if (std::strcmp(where, "stderr") == 0) return STDERR_FILENO;
    return ::open(where, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

int Sink() {
    static const int fd = OpenSink();
    return fd;
}

void WriteAll(int fd, const char* text, size_t length) {
    // One write per line keeps lines of concurrent threads whole (O_APPEND).
    while (length > 0) {
        const ssize_t n = ::write(fd, text, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// Read the variable while the library loads, as the trace level is.
[[maybe_unused]] const int g_sinkAtLoad = Sink();
}  // namespace

bool DebugOutputNativeHasReader() { return Sink() >= 0; }

void WriteDebugOutputNative(const char* text) {
    const int fd = Sink();
    if (fd >= 0) WriteAll(fd, text, std::strlen(text));
}

}  // namespace zykim::os
