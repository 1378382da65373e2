// The system's socket headers, for tests that drive a socket directly (a peek, a
// non-blocking flag, a Unix socket pair) beside the socket layer of net.h.
#pragma once

#ifdef _WIN32
#include "common/win32/socket_headers.h"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif
