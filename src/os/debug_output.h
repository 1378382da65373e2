// The debugger output channel: where every trace line of the plug-in goes.
#pragma once

namespace zykim::os {

// Writes one zero-terminated text to the debugger output (Windows: OutputDebugStringA;
// POSIX: the sink named by ZYKIM_DEBUG_OUTPUT, if any). Thread-safe.
void WriteDebugOutput(const char* text);

// Whether a text written now would reach anyone: an observer, or on POSIX a sink. On
// Windows always true, since the system alone knows whether a debugger listens. Lets a
// caller skip formatting a text that would go nowhere.
bool DebugOutputHasReader();

// An in-process listener that sees every text written, in addition to the sink.
// Meant for tests and embedding hosts; null removes it.
using DebugOutputObserver = void (*)(const char* text, void* userData);
void SetDebugOutputObserver(DebugOutputObserver observer, void* userData);

}  // namespace zykim::os
