// Running a program to its end, on top of the platform's child process.
#include "platform/process.h"

namespace zykproxy::process {

RunResult Run(const std::string& program, const std::vector<std::string>& args, int timeoutMs) {
    RunResult result;
    ChildProcess child;
    if (!child.Start(program, args, StartOptions{}, &result.error)) return result;
    int code = -1;
    if (!child.Wait(timeoutMs, &code)) {
        child.Kill();
        result.kind = RunResult::Kind::TimedOut;
        return result;
    }
    result.kind = code < 0 ? RunResult::Kind::Signalled : RunResult::Kind::Exited;
    result.exitCode = code;
    return result;
}

}  // namespace zykproxy::process
