// SPDX-License-Identifier: Apache-2.0
// The process lock, wait objects and the node path.
//
// One error-checking mutex is the process lock; wait objects and path users
// are guarded by it too. Every thread that waits with the lock released
// (vpm_sleep, engine verbs waiting for their partner) waits on a condition
// variable of its own, listed while it waits, so a completed verb wakes
// its own thread and nobody else: with one shared condition variable each
// message woke every waiter of the process, which all fought for the lock
// to find nothing for them. A waiter releases the lock while it waits, so
// completions (run by the sleeper itself, or by another thread that takes
// the lock) and the partner's verbs are serialised with everything else.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <pthread.h>
#include <vector>

#include "zorvel/internal.h"
#include "zorvel/completions.h"
#include "zorvel/verb_engine.h"

namespace zv {
namespace {

constexpr uint32_t kDefaultSleepLimitMs = 10000;
constexpr uint16_t kNestedToken = 0; // handed out for a reported nested lock

struct Lock {
    pthread_mutex_t mutex;
    Lock() {
        pthread_mutexattr_t ma;
        pthread_mutexattr_init(&ma);
        pthread_mutexattr_settype(&ma, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex, &ma);
        pthread_mutexattr_destroy(&ma);
    }
};

Lock g_lock;
thread_local bool t_holds_lock = false;

} // namespace

// A thread's own wake-up. Listed (under the process lock) only while the
// thread waits. Waiters are never freed: a leaving thread hands its own to
// the next new one, so a wake-up signalled after the lock was released
// (below) can never reach freed memory; at worst it is a spurious wake-up
// of the next owner, who loops on its own condition anyway.
struct Waiter {
    pthread_cond_t wake;
    Waiter *prev = nullptr;
    Waiter *next = nullptr; // in the waiting list, or the free list
    bool waiting = false;
    bool sleeper = false;  // in vpm_sleep
    bool own_only = false; // only notify_waiter wakes it
    bool posted = false;   // in g_posted
    Waiter() {
        pthread_condattr_t ca;
        pthread_condattr_init(&ca);
        pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
        pthread_cond_init(&wake, &ca);
        pthread_condattr_destroy(&ca);
    }
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;
};

namespace {

pthread_mutex_t g_free_mutex = PTHREAD_MUTEX_INITIALIZER;
Waiter *g_free = nullptr; // guarded by g_free_mutex

class WaiterSlot {
  public:
    Waiter &get() {
        if (!w_) {
            pthread_mutex_lock(&g_free_mutex);
            w_ = g_free;
            if (w_) g_free = w_->next;
            pthread_mutex_unlock(&g_free_mutex);
            if (!w_) w_ = new Waiter;
            w_->next = nullptr;
        }
        return *w_;
    }
    ~WaiterSlot() {
        if (!w_) return;
        pthread_mutex_lock(&g_free_mutex);
        w_->next = g_free;
        g_free = w_;
        pthread_mutex_unlock(&g_free_mutex);
    }

  private:
    Waiter *w_ = nullptr;
};

thread_local WaiterSlot t_waiter;

// Everything below is guarded by the process lock.
Waiter *g_waiting = nullptr; // threads waiting now
// Wake-ups are signalled once the notifier gives the lock up: a thread
// woken while the lock is still held would only run into it and sleep
// again. Past kPostedMax of them a wake-up is signalled on the spot.
constexpr size_t kPostedMax = 8;
Waiter *g_posted[kPostedMax];
size_t g_posted_count = 0;
uint16_t g_token = 0; // token of the current holder
uint16_t g_last_token = 0;

struct WaitObject {
    bool signalled = false;
};
std::map<uint32_t, WaitObject> g_wait_objects;
uint32_t g_last_wait_object = 0;

struct PathUser {
    VPM_PATH_CALLBACK callback;
    uint32_t user;
};
std::map<uint32_t, PathUser> g_path_users;
uint32_t g_last_path_user = 0;

template <typename Map>
uint32_t next_handle(uint32_t &last, const Map &taken) {
    do {
        last = last == UINT32_MAX ? 1 : last + 1;
    } while (taken.count(last) != 0);
    return last;
}

uint32_t sleep_limit_from_env() {
    const char *v = std::getenv("ZORVEL_SLEEP_LIMIT_MS");
    if (!v || !*v) return kDefaultSleepLimitMs;
    char *end = nullptr;
    const unsigned long ms = std::strtoul(v, &end, 10);
    return *end == '\0' && ms > 0 && ms <= UINT32_MAX ? static_cast<uint32_t>(ms) : kDefaultSleepLimitMs;
}

uint32_t g_sleep_limit_ms = sleep_limit_from_env();

bool before(const timespec &a, const timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

} // namespace

timespec deadline_after(uint32_t ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

bool holds_process_lock() {
    return t_holds_lock;
}

namespace {

void post_wake(Waiter *w) {
    if (!w->waiting || w->posted) return;
    if (g_posted_count == kPostedMax) {
        pthread_cond_signal(&w->wake);
        return;
    }
    w->posted = true;
    g_posted[g_posted_count++] = w;
}

// Hands the posted wake-ups over: the caller signals them.
size_t take_posted(Waiter *(&out)[kPostedMax]) {
    const size_t n = g_posted_count;
    for (size_t i = 0; i < n; ++i) {
        out[i] = g_posted[i];
        out[i]->posted = false;
    }
    g_posted_count = 0;
    return n;
}

bool wait_released(const timespec *deadline, bool sleeper, bool own_only = false) {
    if (!t_holds_lock) {
        ZV_ASSERT_FAILED("wait_with_lock_released: process lock not held");
        return false;
    }
    // The wait gives the lock up inside pthread_cond_wait: what this
    // thread posted goes now.
    Waiter *posted[kPostedMax];
    for (size_t i = 0, n = take_posted(posted); i < n; ++i) pthread_cond_signal(&posted[i]->wake);
    Waiter &me = t_waiter.get();
    me.sleeper = sleeper;
    me.own_only = own_only;
    me.waiting = true;
    me.prev = nullptr;
    me.next = g_waiting;
    if (g_waiting) g_waiting->prev = &me;
    g_waiting = &me;
    const uint16_t token = g_token;
    t_holds_lock = false;
    const int rc = deadline ? pthread_cond_timedwait(&me.wake, &g_lock.mutex, deadline)
                            : pthread_cond_wait(&me.wake, &g_lock.mutex);
    t_holds_lock = true;
    g_token = token; // others held the lock meanwhile
    (me.prev ? me.prev->next : g_waiting) = me.next;
    if (me.next) me.next->prev = me.prev;
    me.prev = me.next = nullptr;
    me.waiting = false;
    if (rc != 0 && rc != ETIMEDOUT && rc != EINTR)
        ZV_ASSERT_FAILED("wait_with_lock_released: pthread_cond_wait failed");
    if (!deadline) return true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return before(now, *deadline);
}

} // namespace

bool wait_with_lock_released(const timespec *deadline, bool own_wake_only) {
    return wait_released(deadline, false, own_wake_only);
}

Waiter *this_thread_waiter() {
    return &t_waiter.get();
}

void notify_waiter(Waiter *w) {
    if (w) post_wake(w);
}

void notify_sleepers() {
    for (Waiter *w = g_waiting; w; w = w->next)
        if (w->sleeper) post_wake(w);
}

LockReleased::LockReleased() : token_(g_token) {
    if (!t_holds_lock) ZV_ASSERT_FAILED("LockReleased: process lock not held");
    t_holds_lock = false;
    Waiter *posted[kPostedMax];
    const size_t n = take_posted(posted);
    pthread_mutex_unlock(&g_lock.mutex);
    for (size_t i = 0; i < n; ++i) pthread_cond_signal(&posted[i]->wake);
}

LockReleased::~LockReleased() {
    pthread_mutex_lock(&g_lock.mutex);
    t_holds_lock = true;
    g_token = token_; // others held the lock meanwhile
}

void notify_lock_waiters() {
    for (Waiter *w = g_waiting; w; w = w->next)
        if (!w->own_only) post_wake(w);
}

LockIfNotHeld::LockIfNotHeld() : took_(!t_holds_lock), token_(0) {
    if (took_) token_ = vpm_lock();
}

LockIfNotHeld::~LockIfNotHeld() {
    if (took_) vpm_unlock(token_);
}

void deliver_path_failure() {
    // Completions still pending would land in blocks the path users are
    // about to free, so they go first.
    verb_engine().drop_in_flight();
    completions().discard_all();
    const std::map<uint32_t, PathUser> users = g_path_users;
    for (const auto &entry : users) {
        // A callback may terminate other path users; skip those.
        if (g_path_users.count(entry.first) == 0) continue;
        VPM_PATH_EVENT event{static_cast<uint16_t>(VPM_EVENT_PATH_FAILED), 0};
        entry.second.callback(entry.second.user, &event);
    }
}

void reset_lock_state() {
    g_wait_objects.clear();
    g_last_wait_object = 0;
    g_path_users.clear();
    g_last_path_user = 0;
    g_sleep_limit_ms = sleep_limit_from_env();
    notify_sleepers(); // they find their object gone
}

uint32_t live_wait_objects() {
    LockIfNotHeld lock;
    return static_cast<uint32_t>(g_wait_objects.size());
}

uint32_t live_path_users() {
    LockIfNotHeld lock;
    return static_cast<uint32_t>(g_path_users.size());
}

void set_sleep_limit(uint32_t milliseconds) {
    LockIfNotHeld lock;
    g_sleep_limit_ms = milliseconds ? milliseconds : sleep_limit_from_env();
}

} // namespace zv

using namespace zv;

extern "C" NODE_API uint16_t vpm_lock(void) {
    if (t_holds_lock) {
        ZV_ASSERT_FAILED("vpm_lock: process lock already held by this thread");
        return kNestedToken;
    }
    const int rc = pthread_mutex_lock(&g_lock.mutex);
    if (rc != 0) {
        ZV_ASSERT_FAILED("vpm_lock: pthread_mutex_lock failed");
        return kNestedToken;
    }
    t_holds_lock = true;
    g_last_token = g_last_token == UINT16_MAX ? 1 : static_cast<uint16_t>(g_last_token + 1);
    g_token = g_last_token;
    return g_token;
}

extern "C" NODE_API void vpm_unlock(uint16_t token) {
    if (!t_holds_lock) {
        ZV_ASSERT_FAILED("vpm_unlock: process lock not held by this thread");
        return;
    }
    if (token == kNestedToken) return; // undoes a nested lock that was already reported
    if (token != g_token) ZV_ASSERT_FAILED("vpm_unlock: token does not match vpm_lock");
    g_token = 0;
    t_holds_lock = false;
    Waiter *posted[kPostedMax];
    const size_t n = take_posted(posted);
    if (pthread_mutex_unlock(&g_lock.mutex) != 0) ZV_ASSERT_FAILED("vpm_unlock: pthread_mutex_unlock failed");
    for (size_t i = 0; i < n; ++i) pthread_cond_signal(&posted[i]->wake);
}

extern "C" NODE_API uint32_t vpm_allocate_wait_object(void) {
    if (fault(ZT_FAULT_WAIT_OBJECT)) return 0;
    LockIfNotHeld lock;
    const uint32_t h = next_handle(g_last_wait_object, g_wait_objects);
    g_wait_objects[h];
    return h;
}

extern "C" NODE_API void vpm_release_wait_object(uint32_t wait_object) {
    LockIfNotHeld lock;
    if (g_wait_objects.erase(wait_object) == 0) {
        ZV_ASSERT_FAILED("vpm_release_wait_object: unknown wait object");
        return;
    }
    notify_sleepers();
}

extern "C" NODE_API void vpm_wakeup(uint32_t wait_object) {
    LockIfNotHeld lock;
    auto it = g_wait_objects.find(wait_object);
    if (it == g_wait_objects.end()) {
        ZV_ASSERT_FAILED("vpm_wakeup: unknown wait object");
        return;
    }
    it->second.signalled = true; // kept until a sleep consumes it
    notify_sleepers();
}

// Timeouts are in milliseconds. Returns 0 when woken, 1 when the caller's
// timeout ran out, 2 when the stand-in's own limit ran out (a sleep nobody
// would ever end; written as a problem record), 3 when the wait object is
// unknown or was released meanwhile.
extern "C" NODE_API uint16_t vpm_sleep(uint32_t wait_object, uint32_t timeout) {
    if (!t_holds_lock) ZV_ASSERT_FAILED("vpm_sleep: called without the process lock");
    LockIfNotHeld lock;
    const bool forever = timeout == VPM_WAIT_FOREVER;
    const uint32_t limit = g_sleep_limit_ms;
    const bool capped = forever || timeout > limit;
    const timespec deadline = deadline_after(capped ? limit : timeout);
    if (g_wait_objects.count(wait_object) == 0) {
        ZV_ASSERT_FAILED("vpm_sleep: unknown wait object");
        return 3;
    }
    // One delivery round first, so even a zero timeout lets completions in.
    completions().deliver(Delivery::kSleep, 0);
    for (;;) {
        auto it = g_wait_objects.find(wait_object);
        if (it == g_wait_objects.end()) return 3; // released meanwhile (the path failed)
        if (it->second.signalled) {
            it->second.signalled = false;
            return 0;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!before(now, deadline)) {
            if (!capped) return 1;
            nba_pd_print_problem(ZT_PROBLEM_SLEEP_LIMIT, 1, "lx lx", wait_object, limit);
            return 2;
        }
        if (completions().deliver(Delivery::kSleep, 0) > 0) continue; // a callback may have woken us
        // A completion queued from another thread, a wake-up or a released
        // object notifies under the lock, so it cannot slip in between the
        // look above and this wait.
        wait_released(&deadline, true);
    }
}

// Delivers what may be polled for, then hands out the descriptor that is
// readable while such a completion is queued (drained as they are
// delivered): a program may poll it between calls.
extern "C" NODE_API int32_t vpm_asm_event_fd(void) {
    LockIfNotHeld lock;
    completions().deliver(Delivery::kPoll, 0);
    return completions().event_fd();
}

extern "C" NODE_API void vpm_init_path_user(uint32_t reserved1, uint32_t reserved2,
                                            VPM_PATH_CALLBACK callback, uint32_t user, uint32_t *path_user) {
    (void)reserved1;
    (void)reserved2;
    if (!path_user) {
        ZV_ASSERT_FAILED("vpm_init_path_user: null handle address");
        return;
    }
    *path_user = 0;
    if (!callback) {
        ZV_ASSERT_FAILED("vpm_init_path_user: null callback");
        return;
    }
    if (fault(ZT_FAULT_PATH_USER)) return;
    LockIfNotHeld lock;
    const uint32_t h = next_handle(g_last_path_user, g_path_users);
    g_path_users[h] = PathUser{callback, user};
    *path_user = h;
}

extern "C" NODE_API void vpm_terminate_path_user(uint32_t path_user) {
    LockIfNotHeld lock;
    if (g_path_users.erase(path_user) == 0) ZV_ASSERT_FAILED("vpm_terminate_path_user: unknown path user");
}
