// Keeps exceptions from crossing an exported function: the host is not C++-aware.
#pragma once

#include <utility>

namespace zykim {

template <typename Result, typename Body>
Result CallGuarded(Result onException, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return onException;
    }
}

template <typename Body>
void CallGuarded(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
    }
}

}  // namespace zykim
