// The callback lock (see lock.h for the rule it carries).
#include "lock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace tessaly {
namespace {

CallbackLock theLock;
std::condition_variable_any arrived;

#ifdef TESSALY_CHECK_LOCK
std::atomic<std::thread::id> owner{};

[[noreturn]] void broken(const char* rule, const char* where) {
    fprintf(stderr, "Tessaly: threading rule broken: %s (%s)\n", rule, where);
    fflush(stderr);
    abort();
}
#endif

}  // namespace

void CallbackLock::lock() {
    mutex_.lock();
#ifdef TESSALY_CHECK_LOCK
    owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
#endif
}

bool CallbackLock::try_lock() {
    if (!mutex_.try_lock()) return false;
#ifdef TESSALY_CHECK_LOCK
    owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
#endif
    return true;
}

void CallbackLock::unlock() {
#ifdef TESSALY_CHECK_LOCK
    owner.store(std::thread::id(), std::memory_order_relaxed);
#endif
    mutex_.unlock();
}

bool CallbackLock::heldHere() const {
#ifdef TESSALY_CHECK_LOCK
    return owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
#else
    return true;
#endif
}

CallbackLock& callbackLock() { return theLock; }

std::condition_variable_any& answerArrived() { return arrived; }

void checkUnlocked([[maybe_unused]] const char* call) {
#ifdef TESSALY_CHECK_LOCK
    if (owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
        broken("a library call with the callback lock held", call);
#endif
}

void checkLocked([[maybe_unused]] const char* where) {
#ifdef TESSALY_CHECK_LOCK
    if (owner.load(std::memory_order_relaxed) != std::this_thread::get_id())
        broken("a callback's record touched without the callback lock", where);
#endif
}

}  // namespace tessaly
