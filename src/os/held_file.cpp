// The portable half of the held-file service: ownership transfer and the identity used
// in held-file names. The backend does the file work.
#include "os/held_file.h"

#include <atomic>

namespace zykim::os {

uint32_t CurrentProcessNumber();  // defined by the backend

HeldFile::HeldFile(HeldFile&& other) noexcept
    : m_native(other.m_native), m_nLastError(other.m_nLastError) {
    other.m_native = kInvalid;
}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_native = other.m_native;
        m_nLastError = other.m_nLastError;
        other.m_native = kInvalid;
    }
    return *this;
}

int32_t NewHeldFileIdentity(const void* pObject) {
    if (sizeof(void*) == 4) return static_cast<int32_t>(reinterpret_cast<intptr_t>(pObject));
    // A 31-bit sequence XOR a per-process constant: still distinct within the process,
    // and positive, so the names stay short.
    static std::atomic<uint32_t> s_sequence{0};
    const uint32_t mix = (CurrentProcessNumber() * 2654435761u) & 0x7FFF0000u;
    return static_cast<int32_t>(((s_sequence.fetch_add(1, std::memory_order_relaxed) + 1) ^ mix) &
                                0x7FFFFFFFu);
}

}  // namespace zykim::os
