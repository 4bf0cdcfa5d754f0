// network.cc: the network system and the transfer loop.
#include "network.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config.h"
#include "link/link.h"
#include "log.h"
#include "memcache.h"
#include "util.h"

CURLM *curl_multi;
CURLSH *curl_share;
Mutex curl_lock;
Mutex transfer_lock;

// Passes end with a broadcast on pass_cond (pass_count counts them), for the threads that found
// another one driving: they wait for its pass instead of queueing on transfer_lock, which the
// driver takes again at once and would hand over only by chance.
static Mutex pass_lock = MUTEX_INITIALIZER;
static pthread_cond_t pass_cond = PTHREAD_COND_INITIALIZER;
static uint64_t pass_count GUARDED_BY(pass_lock);
// A write callback has taken bytes during this pass (transfer_progress): the driver returns to
// look at them instead of polling on for more.
static std::atomic<bool> pass_progress{false};
// Threads waiting in transfer_enter: drivers leave the lock to them. A mutex hands itself to
// whoever asks first once free, and a driver that takes it again at once would keep them out
// for as long as it drives.
static std::atomic<int> entering{0};

// libcurl pairs these calls itself, so the analysis cannot follow them.
static void curl_callback_lock(CURL *, curl_lock_data, curl_lock_access, void *) NO_THREAD_SAFETY_ANALYSIS
{
    checked_mutex_lock(&curl_lock, HERE);
}

static void curl_callback_unlock(CURL *, curl_lock_data, void *) NO_THREAD_SAFETY_ANALYSIS
{
    checked_mutex_unlock(&curl_lock, HERE);
}

void NetworkSystem_init()
{
    if (curl_global_init(CURL_GLOBAL_ALL))
        log_fatal(HERE, "curl_global_init() failed!\n");
    curl_share = curl_share_init();
    if (!curl_share)
        log_fatal(HERE, "curl_share_init() failed!\n");
    curl_share_setopt(curl_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(curl_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(curl_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    checked_mutex_init(&curl_lock, nullptr, HERE);
    curl_share_setopt(curl_share, CURLSHOPT_LOCKFUNC, curl_callback_lock);
    curl_share_setopt(curl_share, CURLSHOPT_UNLOCKFUNC, curl_callback_unlock);
    curl_multi = curl_multi_init();
    if (!curl_multi)
        log_fatal(HERE, "curl_multi_init() failed!\n");
    // Start-up reads no option before this: NetworkSystem_set_limits gives --max-conns its say.
    curl_multi_setopt(curl_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(CONFIG.max_conns));
    curl_multi_setopt(curl_multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(CONFIG.max_conns));
    checked_mutex_init(&transfer_lock, nullptr, HERE);
}

void NetworkSystem_set_limits()
{
    long conns = CONFIG.max_conns > 0 ? static_cast<long>(CONFIG.max_conns) : 1;
    TransferGuard guard;
    curl_multi_setopt(curl_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, conns);
    curl_multi_setopt(curl_multi, CURLMOPT_MAX_HOST_CONNECTIONS, conns);
}

int is_temporary_http_failure(long code)
{
    return code == 429 || code == 503 || code == 520 || code == 524;
}

bool is_temporary_transfer_failure(CURLcode result)
{
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

bool RetryBudget_spend(RetryBudget *budget, bool timed_out)
{
    budget->attempts++;
    if (timed_out)
        budget->timeouts++;
    return budget->attempts < RETRY_ATTEMPTS && budget->timeouts < RETRY_TIMEOUTS;
}

long retry_delay_seconds(long retry_after)
{
    if (retry_after >= 0)
        return retry_after < 60 ? retry_after : 60;
    return CONFIG.retry_wait > 0 ? CONFIG.retry_wait : 0;
}

long transfer_retry_after(CURL *curl)
{
    curl_off_t seconds = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &seconds) != CURLE_OK || seconds <= 0)
        return -1;
    return static_cast<long>(seconds);
}

static void lock_transfer() ACQUIRE(transfer_lock)
{
    log_printf(LOG_TRANSFER_LOCK_DEBUG, HERE, "thread %lx: locking transfer_lock;\n", thread_id());
    checked_mutex_lock(&transfer_lock, HERE);
}

static void unlock_transfer() RELEASE(transfer_lock)
{
    log_printf(LOG_TRANSFER_LOCK_DEBUG, HERE, "thread %lx: unlocking transfer_lock;\n", thread_id());
    checked_mutex_unlock(&transfer_lock, HERE);
}

// A finished (or never added) header request: its handle and buffer go, and the fill that made
// it has one request fewer open. Its link has its final type for this fill by then.
static void filestat_release(CURL *curl, ResponseBuffer *buf)
{
    curl_easy_cleanup(curl);
    std::atomic<int> *outstanding = buf->outstanding;
    checked_free(buf->data);
    checked_free(buf);
    if (outstanding)
        outstanding->fetch_sub(1);
}

// Completion handling, called with transfer_lock held. Returns the transfers it handed out.
static int curl_process_msgs() REQUIRES(transfer_lock)
{
    CURLMsg *msg;
    int left = 0;
    int done = 0;
    while ((msg = curl_multi_info_read(curl_multi, &left))) {
        done++;
        if (msg->msg != CURLMSG_DONE) {
            log_printf(LOG_WARNING, HERE, "curl_msg->msg: %d\n", static_cast<int>(msg->msg));
            continue;
        }
        CURL *curl = msg->easy_handle;
        CURLcode result = msg->data.result;
        ResponseBuffer *buf = nullptr;
        CURLcode res = curl_easy_getinfo(curl, CURLINFO_PRIVATE, reinterpret_cast<char **>(&buf));
        if (res)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        char *url = nullptr;
        res = curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
        if (res)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        // A write callback that ended a transfer on purpose (a whole file cut short once the
        // asked-for bytes were in) is no failure worth a line.
        bool ended_on_purpose = result == CURLE_WRITE_ERROR && buf &&
                                ((buf->expect && buf->verdict == VERDICT_WHOLE && buf->size == buf->capacity) ||
                                 buf->type == TRANSFER_STREAM);
        if (result != CURLE_OK && !ended_on_purpose) {
            std::string safe = url_for_log(url);
            log_printf(LOG_ERROR, HERE, "%d - %s <%s>\n", static_cast<int>(result),
                       curl_easy_strerror(result), safe.c_str());
        }
        curl_multi_remove_handle(curl_multi, curl);
        if (buf && buf->type == TRANSFER_FILESTAT) {
            // The request may go on as another one (a redirect, a probe for the size), which
            // then owns the buffer.
            if (!Link_file_stat_done(buf, curl, result))
                filestat_release(curl, buf);
            else
                curl_easy_cleanup(curl);
        } else if (buf) {
            buf->result = result;
            // The owner takes the handle back on this signal: nothing here touches it after.
            transferring_set(buf, 0);
        }
    }
    return done;
}

// One pass over the multi handle with transfer_lock held: perform, hand out the completions,
// then poll for at most 100 ms while anything runs and nothing has come in this pass yet.
// Completions go out before the poll: a finished transfer's owner need not wait for the others.
// `eventful` tells whether the pass completed a transfer or brought bytes a reader waits for.
static int perform_pass(bool *eventful) REQUIRES(transfer_lock)
{
    int running = 1;
    pass_progress.store(false);
    CURLMcode mc = curl_multi_perform(curl_multi, &running);
    if (mc)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_multi_strerror(mc));
    int done = curl_process_msgs();
    *eventful = done > 0 || pass_progress.load();
    if (running && !*eventful) {
        mc = curl_multi_poll(curl_multi, nullptr, 0, 100, nullptr);
        if (mc)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_multi_strerror(mc));
    }
    return running;
}

static void pass_done()
{
    ScopedLock guard(&pass_lock, HERE);
    pass_count++;
    checked_cond_broadcast(&pass_cond, HERE);
}

void transfer_enter()
{
    entering.fetch_add(1);
    // A thread waiting in the poll holds transfer_lock until its sockets stir: it is woken.
    curl_multi_wakeup(curl_multi);
    lock_transfer();
    entering.fetch_sub(1);
}

void transfer_leave()
{
    unlock_transfer();
    pass_done();
}

void transfer_progress()
{
    pass_progress.store(true);
    pass_done();
}

int curl_multi_perform_once()
{
    lock_transfer();
    bool eventful;
    int running = perform_pass(&eventful);
    unlock_transfer();
    pass_done();
    return running;
}

void transfer_wait()
{
    // The pass to wait for is counted before trying to drive: a driver that leaves in between
    // has ended it, and this thread returns at once rather than after 100 ms of nobody driving.
    uint64_t seen;
    {
        ScopedLock guard(&pass_lock, HERE);
        seen = pass_count;
    }
    if (entering.load() == 0 && checked_mutex_trylock(&transfer_lock, HERE)) {
        log_printf(LOG_TRANSFER_LOCK_DEBUG, HERE, "thread %lx: locking transfer_lock;\n", thread_id());
        bool eventful;
        perform_pass(&eventful);
        unlock_transfer();
        // The waiting threads look again only when something has happened: a wake-up for
        // every pass would have each of them take turns for nothing while bytes stream in.
        if (eventful)
            pass_done();
        return;
    }
    // Someone else drives, or is about to change the multi handle: wait until something
    // happens in the passes, or 100 ms should the driver have just left.
    ScopedLock guard(&pass_lock, HERE);
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 100 * 1000 * 1000;
    if (until.tv_nsec >= 1000 * 1000 * 1000) {
        until.tv_sec++;
        until.tv_nsec -= 1000 * 1000 * 1000;
    }
    while (pass_count == seen) {
        if (!checked_cond_timedwait(&pass_cond, &pass_lock, &until, HERE))
            break;
    }
}

void transfer_blocking(CURL *curl)
{
    ResponseBuffer *buf = nullptr;
    CURLcode res = curl_easy_getinfo(curl, CURLINFO_PRIVATE, reinterpret_cast<char **>(&buf));
    if (res || !buf) {
        log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        return;
    }
    // This transfer starts now rather than after someone else's data.
    transfer_enter();
    CURLMcode mc = curl_multi_add_handle(curl_multi, curl);
    if (mc > 0) {
        log_printf(LOG_ERROR, HERE, "%d, %s\n", static_cast<int>(mc), curl_multi_strerror(mc));
        // Nothing will ever finish this handle: the caller sees no response and fails.
        buf->result = CURLE_FAILED_INIT;
        transferring_set(buf, 0);
    }
    transfer_leave();
    // Whoever drives completes this transfer as well; the flag is checked after every pass.
    while (transferring_get(buf))
        transfer_wait();
}

bool transfer_add_locked(CURL *curl)
{
    CURLMcode mc = curl_multi_add_handle(curl_multi, curl);
    if (mc > 0)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_multi_strerror(mc));
    return mc <= 0;
}

void transfer_nonblocking(CURL *curl)
{
    transfer_enter();
    CURLMcode mc = curl_multi_add_handle(curl_multi, curl);
    if (mc > 0)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_multi_strerror(mc));
    transfer_leave();
    if (mc > 0) {
        // The loop will never see this handle, so a header request is released here; its
        // link stays uninitialised and its table's fill marks it invalid.
        ResponseBuffer *buf = nullptr;
        curl_easy_getinfo(curl, CURLINFO_PRIVATE, reinterpret_cast<char **>(&buf));
        if (buf && buf->type == TRANSFER_FILESTAT)
            filestat_release(curl, buf);
    }
}
