// The scanner's path is the plug-in's own path with the library's name swapped.
#include "imconfig/im_plugin.h"

namespace zykim::imconfig {

std::string ReplaceLibraryName(std::string path) {
    static constexpr char kLibrary[] = "zykim.dll";
    static constexpr char kScanner[] = "zykims.exe";
    constexpr size_t kLibraryLength = sizeof kLibrary - 1;
    constexpr size_t kScannerLength = sizeof kScanner - 1;
    for (size_t at = path.find(kLibrary); at != std::string::npos;
         at = path.find(kLibrary, at + kScannerLength))
        path.replace(at, kLibraryLength, kScanner);
    return path;
}

}  // namespace zykim::imconfig
