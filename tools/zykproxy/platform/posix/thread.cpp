// Detached threads on POSIX, with their stack size set through the thread attributes.
#include <pthread.h>

#include <memory>

#include "platform/thread.h"

namespace zykproxy::platform {

namespace {
void* RunBody(void* argument) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return nullptr;
}

struct Attributes {
    pthread_attr_t value;
    Attributes() { pthread_attr_init(&value); }
    ~Attributes() { pthread_attr_destroy(&value); }
};
}  // namespace

bool StartDetachedThread(size_t stackBytes, std::function<void()> body) {
    Attributes attributes;
    pthread_attr_setdetachstate(&attributes.value, PTHREAD_CREATE_DETACHED);
    if (stackBytes < PTHREAD_STACK_MIN) stackBytes = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attributes.value, stackBytes);
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_t thread;
    if (pthread_create(&thread, &attributes.value, &RunBody, owned.get()) != 0) return false;
    owned.release();  // the thread owns it now
    return true;
}

}  // namespace zykproxy::platform
