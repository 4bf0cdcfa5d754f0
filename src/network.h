// network.h: the one libcurl multi handle and share handle of the process, and the transfer
// loop. There is no network thread: a thread that needs its transfer finished drives the multi
// handle itself, one pass at a time, and completes other threads' transfers on the way.
// Locks:
//   transfer_lock  around every call on curl_multi and all completion handling; taken before
//                  a Cache's active_dl_lock (the write callback appends under both). Released
//                  between passes; a waiter that finds it taken waits for the pass instead.
//   pass_lock      (network.cc) guards the pass counter; a leaf, taken after a pass and by
//                  write callbacks (transfer_progress) inside transfer_lock.
//   curl_lock      taken only by libcurl through the share callbacks; nests inside
//                  transfer_lock during multi calls.
#pragma once

#include <curl/curl.h>
#include <pthread.h>

#include "util.h"

extern Mutex transfer_lock;
// libcurl's multi handle is not thread-safe: every call on it holds transfer_lock.
extern CURLM *curl_multi PT_GUARDED_BY(transfer_lock);
extern CURLSH *curl_share;
extern Mutex curl_lock;

// Takes transfer_lock for a short piece of work on the multi handle (adding, pausing or
// removing a handle) ahead of the driving threads: the one polling is woken, and none starts
// another pass while a thread waits here. Leaving wakes the threads waiting in transfer_wait,
// so that somebody drives again at once.
void transfer_enter() ACQUIRE(transfer_lock);
void transfer_leave() RELEASE(transfer_lock);
class SCOPED_CAPABILITY TransferGuard
{
  public:
    TransferGuard() ACQUIRE(transfer_lock) { transfer_enter(); }
    ~TransferGuard() RELEASE() { transfer_leave(); }
    TransferGuard(const TransferGuard &) = delete;
    TransferGuard &operator=(const TransferGuard &) = delete;
};

// Before every other libcurl call of the process and before any thread exists.
void NetworkSystem_init();
// The connection limits from CONFIG.max_conns (--max-conns), once the options are read: the
// most connections in all and to one host (at least 1).
void NetworkSystem_set_limits() EXCLUDES(transfer_lock);
// The handle's CURLOPT_PRIVATE is a ResponseBuffer with transferring 1. Returns once the loop
// has finished the handle (also when adding it failed; the buffer's result then says so); the
// caller reads its status and cleans it up.
void transfer_blocking(CURL *curl);
// Adds the handle and returns; the loop frees header requests when they finish.
void transfer_nonblocking(CURL *curl);
// Adds the handle, for code that already holds transfer_lock (completion handling that asks
// again); false, logged, when libcurl refuses it.
bool transfer_add_locked(CURL *curl) REQUIRES(transfer_lock);
// Redirects a request follows, one hop at a time (see Link_to_curl_url).
static const int MAX_REDIRECTS = 2;
// One pass: perform, poll at most 100 ms while anything runs, handle completions. Returns the
// number of transfers still running after the perform step.
int curl_multi_perform_once();
// For a thread waiting on transfers: one pass when no other thread is driving; otherwise waits
// until a pass of the driver completes a transfer or brings bytes a reader waits for
// (transfer_progress), at most 100 ms. Threads that find the loop busy thus return as soon as
// their transfers may have finished, instead of queueing on transfer_lock behind a driver that
// takes it again at once.
void transfer_wait();
// Wakes the threads waiting in transfer_wait without ending the pass, and ends the pass
// without polling: a write callback has taken bytes one of them waits for.
void transfer_progress();
// 1 for 429, 503, 520 and 524, the statuses of a server that may answer later; 0 for every
// other code.
int is_temporary_http_failure(long code);
// Whether a transfer that ended with this libcurl result may do better when asked again: it
// stalled (CURLE_OPERATION_TIMEDOUT), or the connection broke before the answer was whole.
bool is_temporary_transfer_failure(CURLcode result);

// The retry rules every request shares. A temporary failure (a temporary status, a broken or
// stalled transfer, a body of the wrong length) is asked again, after the server's
// Retry-After (at most 60 s) or else CONFIG.retry_wait seconds; an operation gives up after
// RETRY_ATTEMPTS attempts in all, or at its second stalled transfer, so that a server that
// stalls costs a reader about a minute.
static const int RETRY_ATTEMPTS = 5;
static const int RETRY_TIMEOUTS = 2;
struct RetryBudget {
    int attempts; // attempts that failed so far
    int timeouts; // of them, stalled transfers
};
// Counts one failed attempt; true when another may follow.
bool RetryBudget_spend(RetryBudget *budget, bool timed_out);
// Seconds to wait before the next attempt: the server's Retry-After when it gave one (-1 when
// not), at most 60, else CONFIG.retry_wait (0 when negative).
long retry_delay_seconds(long retry_after);
// The server's Retry-After of a finished transfer, in seconds, or -1.
long transfer_retry_after(CURL *curl);
