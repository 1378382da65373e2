// A stand-in scanner for the command back-end's tests:
//   zykproxy_test_scanner CODE FILE    exits with CODE
//   zykproxy_test_scanner marker FILE  exits 1 if FILE holds "INFECTED-MARKER", else 0;
//                                      3 if FILE cannot be read
//   zykproxy_test_scanner sleep FILE   sleeps 30 seconds, then exits 0
//   zykproxy_test_scanner sleep=MS FILE  sleeps MS milliseconds, then exits 0
// With ZYKPROXY_TEST_SCANNER_PIDS set, each run first adds its process id to that file.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
    if (argc != 3) return 64;
    if (const char* pids = std::getenv("ZYKPROXY_TEST_SCANNER_PIDS"))
        std::ofstream(pids, std::ios::app) << getpid() << "\n";
    const std::string mode = argv[1];
    if (mode == "sleep" || mode.rfind("sleep=", 0) == 0) {
        const long ms = mode == "sleep" ? 30000 : std::atol(mode.c_str() + 6);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return 0;
    }
    if (mode == "marker") {
        std::ifstream in(argv[2], std::ios::binary);
        if (!in) return 3;
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return content.find("INFECTED-MARKER") != std::string::npos ? 1 : 0;
    }
    return std::atoi(mode.c_str());
}
