// Where the plug-in's own code was loaded from: the DLL or shared library, or the
// program when the code is linked into one.
#pragma once

#include <string>

namespace zykim::os {

// Full path of the module that holds the plug-in's code, as the loader knows it
// (Windows: GetModuleFileNameA, ANSI code page, at most 519 characters). Empty when it
// can't be read whole.
std::string ModuleFilePath();

}  // namespace zykim::os
