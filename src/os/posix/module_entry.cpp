// Load-time constructor and unload-time destructor of libzykim.so.
#include "os/module.h"

namespace {
__attribute__((constructor)) void ZykimLoad() { zykim::OnModuleLoad(); }
__attribute__((destructor)) void ZykimUnload() { zykim::OnModuleUnload(); }
}  // namespace
