/* SPDX-License-Identifier: Apache-2.0 */
// Internal interfaces between the service areas of the node stand-in.
#ifndef ZORVEL_INTERNAL_H
#define ZORVEL_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <ctime>

#include "node/services.h"
#include "zorvel/zorvel_control.h"

namespace zv {

// ---- Process lock (lock.cpp) ---------------------------------------------

// Holds the process lock for a scope unless the thread already holds it:
// completions and path events must run under it whoever triggers them.
class LockIfNotHeld {
  public:
    LockIfNotHeld();
    ~LockIfNotHeld();
    LockIfNotHeld(const LockIfNotHeld &) = delete;
    LockIfNotHeld &operator=(const LockIfNotHeld &) = delete;

  private:
    bool took_;
    uint16_t token_;
};

// Waits until the calling thread is notified (notify_waiter,
// notify_sleepers for vpm_sleep, notify_lock_waiters), the deadline
// (CLOCK_MONOTONIC; null: none) or a spurious wake-up: the lock is given up
// while waiting and held again when this returns, so callers loop on their
// own condition. The calling thread must hold the process lock. Returns
// false once the deadline has passed. `own_wake_only`: notify_lock_waiters
// passes this thread by (a thread of the engine's own, which the engine
// wakes itself when it has something for it).
bool wait_with_lock_released(const struct timespec *deadline, bool own_wake_only = false);
// Gives the process lock up for a scope (a poll on descriptors) and takes
// it back at the end, as wait_with_lock_released does around its wait. The
// calling thread must hold the process lock.
class LockReleased {
  public:
    LockReleased();
    ~LockReleased();
    LockReleased(const LockReleased &) = delete;
    LockReleased &operator=(const LockReleased &) = delete;

  private:
    uint16_t token_;
};
// Each thread waits on a wake-up of its own, so a notification reaches
// only the threads it concerns. All of these need the process lock held,
// after changing what the woken thread waits for, so none can miss it
// between its last look and its wait.
struct Waiter;
Waiter *this_thread_waiter(); // valid while the thread lives
// Wakes that thread if it waits in wait_with_lock_released.
void notify_waiter(Waiter *waiter);
// Wakes the threads that wait in vpm_sleep.
void notify_sleepers();
// Wakes every waiting thread but those that wait for their own wake only.
void notify_lock_waiters();
// CLOCK_MONOTONIC now plus `ms`.
struct timespec deadline_after(uint32_t ms);
bool holds_process_lock();

// Both need the process lock held.
void deliver_path_failure();
void reset_lock_state();

uint32_t live_wait_objects();
uint32_t live_path_users();
void set_sleep_limit(uint32_t milliseconds); // 0 = from the environment

// ---- Faults (faults.cpp) ---------------------------------------------------

bool fault(uint32_t site); // true when this call must fail
void arm_fault(uint32_t site, uint32_t countdown, bool persistent);
void clear_faults();
uint32_t fault_hits(uint32_t site);
uint32_t fault_calls(uint32_t site);

// ---- Tables (tables.cpp) ---------------------------------------------------

void reset_tables();
uint32_t live_tables();
uint32_t live_table_entries();
void set_table_capacity(uint32_t entries); // 0 = default

// ---- Memory (memory.cpp) ---------------------------------------------------

void reset_memory(); // frees every live block
uint32_t live_blocks();
uint64_t live_bytes();
// Bytes from `p` to the end of the live block holding it, or SIZE_MAX when
// no block of ours holds it (a record on the caller's stack).
size_t room_at(const void *p);

// ---- Problem, audit and assertion records (logs.cpp) ----------------------

void reset_logs();
uint32_t record_count(uint32_t kind);
const ZT_RECORD *record_at(uint32_t kind, uint32_t index);
// "YYYY-MM-DD HH:MM:SS.mmm" local time.
std::string time_stamp();

// ---- Trace (trace.cpp) ------------------------------------------------------

void reset_trace(); // also re-reads ptrc from the environment
uint32_t trace_line_count();
const char *trace_line_at(uint32_t index);
void clear_trace_lines();

} // namespace zv

// Reports from inside the stand-in carry a short file name.
#define ZV_ASSERT_FAILED(text) v0_assert("zorvel/" __FILE_NAME__, __LINE__, text)

#endif // ZORVEL_INTERNAL_H
