// zykproxy's sockets are the tools' common socket layer, named net:: in its code.
#pragma once

#include "common/net.h"

namespace zykproxy {
namespace net = ::zyk::net;
}  // namespace zykproxy
