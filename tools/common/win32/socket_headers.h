// The Windows headers for the tools and tests: the project's lean Windows headers, then
// the socket extensions. The one place outside src/ that names them.
#pragma once

#include "os/win32/win.h"

#include <ws2tcpip.h>
