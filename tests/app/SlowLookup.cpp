#include "SlowLookup.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include <dlfcn.h>
#include <netdb.h>

namespace {

std::mutex Lock;
std::condition_variable Changed;
int Held = 0;
bool Released = false;

} // namespace

bool SlowLookup::WaitHeld(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, limit, [] { return Held > 0; });
}

void SlowLookup::Release()
{
    std::lock_guard<std::mutex> guard(Lock);
    Released = true;
    Changed.notify_all();
}

void SlowLookup::Rearm()
{
    std::lock_guard<std::mutex> guard(Lock);
    Released = false;
}

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res)
{
    if (node && std::strcmp(node, SlowLookup::Name) == 0) {
        std::unique_lock<std::mutex> guard(Lock);
        ++Held;
        Changed.notify_all();
        Changed.wait_for(guard, SlowLookup::HoldLimit, [] { return Released; });
        --Held;
        return EAI_NONAME;
    }
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, res);
}
