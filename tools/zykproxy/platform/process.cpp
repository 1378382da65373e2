// Running a program to its end, on top of the platform's child process.
#include "platform/process.h"

#include "common/deadline.h"

namespace zykproxy::process {

RunResult Run(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
              const std::atomic<bool>* abandon) {
    constexpr int kSliceMs = 50;
    RunResult result;
    ChildProcess child;
    if (!child.Start(program, args, StartOptions{}, &result.error)) return result;
    const zyk::Deadline deadline(timeoutMs);
    int code = -1;
    for (;;) {
        int wait = deadline.LeftMs();
        if (abandon != nullptr && wait > kSliceMs) wait = kSliceMs;
        if (child.Wait(wait, &code)) break;
        const bool abandoned = abandon != nullptr && abandon->load();
        if (abandoned || deadline.Passed()) {
            child.Kill();
            result.kind = abandoned ? RunResult::Kind::Abandoned : RunResult::Kind::TimedOut;
            return result;
        }
    }
    result.kind = code < 0 ? RunResult::Kind::Signalled : RunResult::Kind::Exited;
    result.exitCode = code;
    return result;
}

}  // namespace zykproxy::process
