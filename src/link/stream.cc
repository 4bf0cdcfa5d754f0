// stream.cc: read-ahead for files read without the cache. While an open file is read
// sequentially, ranged requests run ahead of the reader, growing from 1 MiB to 16 MiB, and each
// kernel read is served from the bytes as they arrive. Any other read is one exact range
// request (Link_read), as every read was before; one far from the streams also drops them. A
// server that sends the whole file whatever the range (--no-range-check) is read through one
// stream of the whole file that goes on from where it is.
//
// Memory: each stream holds at most its ring's bytes not yet read (STREAM_RING, or the
// stream's size when smaller). A ranged stream asks for no more than its ring holds, so its
// transfer never waits for its reader: a waiting transfer keeps its connection, and with a few
// of them every connection could be held by streams whose readers wait for a request still
// queued for one. Only the whole-file stream of a server without ranges is paused when its
// ring is full, going on as the reader takes bytes. A file's streams have at most
// PREFETCH_FILE bytes of rings, the mount's at most PREFETCH_TOTAL (prefetch_bytes); a read
// that finds no room is an exact range request.
//
// Locks: transfer_lock (network.h) before a Prefetch's lock, which the write callback takes
// inside transfer_lock; code holding a Prefetch's lock never takes transfer_lock. The write
// callback wakes waiting readers (transfer_progress) with both held.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <sys/mman.h>
#include <vector>

#include "config.h"
#include "link/link.h"
#include "log.h"
#include "network.h"
#include "util.h"

static const int64_t MIB = 1 << 20;
// The bytes a stream holds that its reader has not taken yet.
static const size_t STREAM_RING = 16 * MIB;
// The first stream of a sequential run, and the most any stream asks for at once: a ring's
// worth.
static const int64_t FIRST_REQUEST = MIB;
static const int64_t MAX_REQUEST = static_cast<int64_t>(STREAM_RING);
// How many streams run ahead of the one a reader reads from: at a round trip of 20 ms and
// more, one is not enough to keep the pipe full.
static const size_t AHEAD = 2;
// The most libcurl hands the write callback at once (its receive buffer).
static const size_t DELIVERY = 512 * 1024;
// What a stream keeps behind its reader: the kernel sends the reads of its read-ahead in
// parallel (up to 4 MiB of them), and they come a little out of order.
static const int64_t KEEP_BEHIND = 4 * MIB;
// The bounds of the rings of one open file, and of the whole mount. A stream gets a smaller
// ring when that is all the room left, down to MIN_RING (or its whole size, when smaller), so
// that many files read at once share the room rather than some taking it all; without even
// that much room it is not started.
static const int64_t PREFETCH_FILE = 64 * MIB;
static const int64_t PREFETCH_TOTAL = 128 * MIB;
static const int64_t MIN_RING = MIB;
// How far past the streams a read may start and still extend them: the kernel's read-ahead
// sends a few reads at once, each past the one before.
static const int64_t WINDOW_SLACK = 4 * MIB;

// The bytes of every stream's ring in the mount, against PREFETCH_TOTAL.
static std::atomic<int64_t> prefetch_bytes{0};

struct Prefetch;

// Rings are mapped and unmapped whole: from malloc, a freed ring's pages could stay with the
// process (the heap grows its mapping threshold to the sizes it sees freed), and the mount's
// memory would no longer follow the rings it holds. A few freed rings are kept for the next
// streams (ring_pool, at most RING_POOL bytes, outside PREFETCH_TOTAL): a new mapping's pages
// each fault in, zeroed, as the bytes arrive, which cost a sequential reader a third of its
// time. Only rings of a power-of-two size are kept, the sizes the streams of a run ask for.
static const int64_t RING_POOL = 32 * MIB;
static Mutex ring_pool_lock = MUTEX_INITIALIZER; // taken inside a Prefetch's lock, nothing inside it
static std::vector<std::pair<int64_t, char *>> ring_pool GUARDED_BY(ring_pool_lock);
static int64_t ring_pool_bytes GUARDED_BY(ring_pool_lock) = 0;

static char *ring_alloc(int64_t size)
{
    {
        ScopedLock guard(&ring_pool_lock, HERE);
        for (auto it = ring_pool.begin(); it != ring_pool.end(); ++it) {
            if (it->first == size) {
                char *ring = it->second;
                ring_pool.erase(it);
                ring_pool_bytes -= size;
                return ring;
            }
        }
    }
    void *ring = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (ring == MAP_FAILED)
        log_fatal(HERE, "mmap of %" PRId64 " bytes: %s\n", size, strerror(errno));
    return static_cast<char *>(ring);
}

// Only once no transfer can write into it any more.
static void ring_free(char *ring, int64_t size)
{
    if (!ring)
        return;
    if ((size & (size - 1)) == 0) {
        ScopedLock guard(&ring_pool_lock, HERE);
        if (ring_pool_bytes + size <= RING_POOL) {
            ring_pool.emplace_back(size, ring);
            ring_pool_bytes += size;
            return;
        }
    }
    munmap(ring, static_cast<size_t>(size));
}

// One request running ahead of a reader. The transfer loop finds it through its handle's
// private pointer (rb, of type TRANSFER_STREAM, comes first).
struct Stream {
    ResponseBuffer rb;
    ResponseBuffer header; // its header lines, judged at the first byte of the body
    Prefetch *pf;
    CURL *curl;
    RangeExpect expect;
    int64_t start; // the file bytes it brings: [start, end)
    int64_t end;
    char *ring;
    int64_t capacity; // of the ring
    // Guarded by the Prefetch's lock: the file bytes [head, tail) are in the ring.
    int64_t head;
    int64_t tail;
    uint64_t received; // body bytes taken so far (before `start` for a whole file)
    bool paused;       // the write callback asked libcurl to wait: the ring was full
    bool failed;       // the reply is not of the file as listed, or broke off
    int refs;          // the Prefetch's list and each reader using it outside the lock
    bool released;     // nobody holds it: it is on its way to stream_free
    // Where the readers waiting on it read: head stays at or before them, so that a reader
    // that waits while others (or the transfer loop it drives) run ahead keeps its bytes.
    std::vector<std::pair<int64_t, int64_t>> readers; // and up to where they wait for bytes
    // (head, tail, received, paused, failed, refs, released and readers are guarded by the
    // Prefetch's lock.)
};

struct Prefetch {
    Mutex lock;
    Link *link;
    FileVersion version;
    std::vector<Stream *> streams GUARDED_BY(lock); // in file order, each starting where the last ends
    int64_t request_size GUARDED_BY(lock);          // of the next stream
    int64_t ring_bytes GUARDED_BY(lock);            // of its streams, against PREFETCH_FILE
    // The server sends the whole file whatever the range: one stream from the start of the
    // file serves every read (a seek back starts it again).
    bool whole_only GUARDED_BY(lock);
    bool given_up GUARDED_BY(lock); // a stream had a reply not of the file: no more streams
};

Prefetch *Prefetch_new(Link *link, const FileVersion &version)
{
    Prefetch *pf = new Prefetch;
    checked_mutex_init(&pf->lock, nullptr, HERE);
    pf->link = link;
    pf->version = version;
    ScopedLock guard(&pf->lock, HERE);
    pf->request_size = FIRST_REQUEST;
    pf->ring_bytes = 0;
    pf->whole_only = false;
    pf->given_up = false;
    return pf;
}

// Takes room for a ring of `want` bytes from the file's and the mount's bounds: the bytes
// taken (less when less is left), or 0 when not even `least` are left.
static int64_t ring_reserve(Prefetch *pf, int64_t want, int64_t least) REQUIRES(pf->lock)
{
    int64_t room = std::min(want, PREFETCH_FILE - pf->ring_bytes);
    int64_t total = prefetch_bytes.load();
    int64_t take;
    do {
        take = std::min(room, PREFETCH_TOTAL - total);
        if (take < least)
            return 0;
    } while (!prefetch_bytes.compare_exchange_weak(total, total + take));
    pf->ring_bytes += take;
    return take;
}

// Gives a stream a ring of STREAM_RING bytes, its bytes moved over, when the file's and the
// mount's limits allow.
static void stream_grow_ring(Prefetch *pf, Stream *s) REQUIRES(pf->lock)
{
    int64_t more = static_cast<int64_t>(STREAM_RING) - s->capacity;
    if (more <= 0 || ring_reserve(pf, more, more) == 0)
        return;
    char *ring = ring_alloc(static_cast<int64_t>(STREAM_RING));
    for (int64_t p = s->head; p < s->tail; p++)
        ring[p % static_cast<int64_t>(STREAM_RING)] = s->ring[p % s->capacity];
    ring_free(s->ring, s->capacity);
    s->ring = ring;
    s->capacity = static_cast<int64_t>(STREAM_RING);
}

// Takes the bytes of one delivery into the ring, or asks libcurl to wait when the ring has no
// room for them (it delivers the same bytes again once the transfer goes on). Runs under
// transfer_lock, in whichever thread drives the loop.
static size_t stream_write(void *contents, size_t size, size_t nmemb, void *userp) noexcept
{
    Stream *s = static_cast<Stream *>(userp);
    size_t n = size * nmemb;
    Prefetch *pf = s->pf;
    ScopedLock guard(&pf->lock, HERE);
    if (s->released)
        return 0;
    if (s->rb.verdict == VERDICT_PENDING) {
        s->rb.verdict = reply_verdict(ReplyHeaders_parse(&s->header), s->expect, CONFIG.no_range_check);
        // A reply not of the file as listed (it has changed, or the server will not send
        // ranges): this handle reads on with exact requests only, whose answers say so.
        if (s->rb.verdict != VERDICT_RANGE && s->rb.verdict != VERDICT_WHOLE)
            pf->given_up = true;
        bool another = false;
        for (const Stream *other : pf->streams)
            another = another || (other != s && !other->failed && other->rb.verdict == VERDICT_WHOLE);
        if (s->rb.verdict == VERDICT_WHOLE && !another) {
            // The whole file comes from its first byte: this stream serves every read from now,
            // with a ring of full size when there is room for one. A ring smaller than what
            // libcurl delivers at once could never take a delivery: such a stream ends, and the
            // next read starts one with a full ring.
            s->end = pf->version.size;
            pf->whole_only = true;
            stream_grow_ring(pf, s);
            if (s->capacity < static_cast<int64_t>(DELIVERY))
                s->rb.verdict = VERDICT_PENDING;
        } else if (s->rb.verdict == VERDICT_WHOLE) {
            // Another stream of the window brings the whole file already.
            s->rb.verdict = VERDICT_PENDING;
        }
    }
    if (s->rb.verdict != VERDICT_RANGE && s->rb.verdict != VERDICT_WHOLE) {
        // Not bytes of the file as listed (or of no use, above): the readers ask with exact
        // requests instead, whose answers say what happened.
        s->failed = true;
        return 0;
    }
    int64_t at = s->rb.verdict == VERDICT_WHOLE ? static_cast<int64_t>(s->received)
                                                : s->start + static_cast<int64_t>(s->received);
    int64_t from = std::max(at, s->tail);
    int64_t until = std::min(at + static_cast<int64_t>(n), s->end);
    if (until > from && until - s->head > s->capacity) {
        s->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    for (int64_t p = from; p < until;) {
        size_t slot = static_cast<size_t>(p % s->capacity);
        size_t len = std::min(static_cast<size_t>(until - p), static_cast<size_t>(s->capacity) - slot);
        memcpy(s->ring + slot, static_cast<const char *>(contents) + (p - at), len);
        p += static_cast<int64_t>(len);
    }
    int64_t was = s->tail;
    s->tail = std::max(s->tail, until);
    s->received += n;
    // A reader waiting for these bytes is woken now, not when the driving thread's pass ends.
    for (const auto &reader : s->readers) {
        if (reader.second > was && reader.second <= s->tail) {
            transfer_progress();
            break;
        }
    }
    return n;
}

// A new stream of the file bytes [start, start + size), registered in the Prefetch and
// referenced for the caller, or null when the mount has no room for its ring. Its transfer
// is not started yet (stream_start, outside the lock).
static Stream *stream_new(Prefetch *pf, int64_t start, int64_t size) REQUIRES(pf->lock)
{
    int64_t end = std::min(start + size, pf->version.size);
    // A stream of a server that sends whole files serves every read from now: its ring is full
    // size when there is room, and at least what libcurl delivers at once.
    int64_t want = pf->whole_only ? static_cast<int64_t>(STREAM_RING)
                                  : std::min(static_cast<int64_t>(STREAM_RING), end - start);
    int64_t capacity = ring_reserve(pf, want, std::min(want, MIN_RING));
    if (capacity == 0)
        return nullptr;
    // A ranged stream given a smaller ring asks for that much less.
    if (!pf->whole_only)
        end = start + capacity;
    Stream *s = new Stream{};
    s->pf = pf;
    s->capacity = capacity;
    s->ring = ring_alloc(capacity);
    s->start = start;
    s->end = end;
    s->head = start;
    s->tail = start;
    s->refs = 2;
    s->rb.type = TRANSFER_STREAM;
    s->rb.transferring = 1;
    int64_t time = CONFIG.mode == MODE_SONIC ? 0 : pf->version.time;
    s->expect = RangeExpect{start, s->end - 1, pf->version.size, time};
    char range[64];
    snprintf(range, sizeof range, "%" PRId64 "-%" PRId64, start, s->end - 1);
    s->curl = Link_to_curl(pf->link);
    curl_easy_setopt(s->curl, CURLOPT_RANGE, range);
    curl_easy_setopt(s->curl, CURLOPT_HEADERFUNCTION, write_memory_callback);
    curl_easy_setopt(s->curl, CURLOPT_HEADERDATA, &s->header);
    curl_easy_setopt(s->curl, CURLOPT_WRITEFUNCTION, stream_write);
    curl_easy_setopt(s->curl, CURLOPT_WRITEDATA, s);
    curl_easy_setopt(s->curl, CURLOPT_PRIVATE, &s->rb);
    curl_easy_setopt(s->curl, CURLOPT_BUFFERSIZE, static_cast<long>(DELIVERY));
    pf->streams.push_back(s);
    return s;
}

static void stream_start(Stream *s)
{
    transfer_nonblocking(s->curl);
}

// Ends a stream that nobody holds: its transfer leaves the multi handle, its ring goes.
static void stream_free(Stream *s) EXCLUDES(transfer_lock)
{
    {
        TransferGuard guard;
        if (transferring_get(&s->rb))
            curl_multi_remove_handle(curl_multi, s->curl);
    }
    curl_easy_cleanup(s->curl);
    checked_free(s->header.data);
    ring_free(s->ring, s->capacity);
    prefetch_bytes.fetch_sub(s->capacity);
    delete s;
}

// Drops one reference; the stream to free (outside the lock) when it was the last, else null.
static Stream *stream_release(Prefetch *pf, Stream *s) REQUIRES(pf->lock)
{
    if (--s->refs != 0)
        return nullptr;
    // Its transfer may still deliver until stream_free takes it off the multi handle: the
    // write callback drops what comes from now on.
    s->released = true;
    pf->ring_bytes -= s->capacity;
    return s;
}

// Takes every stream off the Prefetch; returns those to free.
static std::vector<Stream *> drop_streams(Prefetch *pf) REQUIRES(pf->lock)
{
    std::vector<Stream *> gone;
    for (Stream *s : pf->streams) {
        if (Stream *last = stream_release(pf, s))
            gone.push_back(last);
    }
    pf->streams.clear();
    return gone;
}

static void free_all(const std::vector<Stream *> &gone)
{
    for (Stream *s : gone)
        stream_free(s);
}

// Lets a paused transfer go on once its ring has room again. The write callback may run
// inside curl_easy_pause, so the Prefetch's lock is not held here.
static void stream_resume(Stream *s) EXCLUDES(transfer_lock)
{
    // The driving thread may be waiting in the poll for sockets the paused transfer does not
    // watch: TransferGuard wakes it.
    TransferGuard guard;
    if (transferring_get(&s->rb))
        curl_easy_pause(s->curl, CURLPAUSE_CONT);
}

int64_t Prefetch_ring_bytes()
{
    return prefetch_bytes.load();
}

void Prefetch_free(Prefetch *pf)
{
    if (!pf)
        return;
    std::vector<Stream *> gone;
    {
        ScopedLock guard(&pf->lock, HERE);
        gone = drop_streams(pf);
    }
    free_all(gone);
    checked_mutex_destroy(&pf->lock, HERE);
    delete pf;
}

// The stream that holds, or will bring, the file byte at `offset`, or null.
static Stream *stream_at(Prefetch *pf, int64_t offset) REQUIRES(pf->lock)
{
    for (Stream *s : pf->streams) {
        if (offset >= s->start && offset < s->end)
            return s;
    }
    return nullptr;
}

// Moves a stream's head up to `to`, but not past its tail or a waiting reader.
static void stream_let_go(Stream *s, int64_t to)
{
    to = std::min(to, s->tail);
    for (const auto &reader : s->readers)
        to = std::min(to, reader.first);
    s->head = std::max(s->head, to);
}

// What stream_copy returns when it copied nothing.
static const int64_t STREAM_BROKEN = -1; // the reply was not the file's, or it broke off
static const int64_t STREAM_PASSED = -2; // the stream has let go of the bytes at the offset

// Reads what one stream holds of [offset, offset + size): waits (driving the transfer loop)
// until the bytes are there, copies them, and lets the stream's transfer go on when its ring
// has room again. The bytes copied, or STREAM_BROKEN or STREAM_PASSED. Called with a reference
// on `s` and without the Prefetch's lock.
static int64_t stream_copy(Prefetch *pf, Stream *s, char *buf, int64_t size, int64_t offset) EXCLUDES(pf->lock)
{
    const int64_t NOT_YET = -3;
    // This reader's entry in s->readers, once it waits.
    std::pair<int64_t, int64_t> waiting{-1, -1};
    for (;;) {
        bool resume = false;
        int64_t copied = NOT_YET;
        {
            ScopedLock guard(&pf->lock, HERE);
            // At most a ring's worth at a time: more could never be in the ring at once.
            int64_t want = std::min({offset + size, s->end, offset + s->capacity});
            if (s->failed) {
                copied = STREAM_BROKEN;
            } else if (waiting.first < 0 && offset < s->head) {
                copied = STREAM_PASSED;
            } else {
                if (waiting.first < 0) {
                    waiting = {offset, want};
                    s->readers.push_back(waiting);
                }
                if (s->tail >= want) {
                    for (int64_t p = offset; p < want;) {
                        size_t slot = static_cast<size_t>(p % s->capacity);
                        size_t len =
                            std::min(static_cast<size_t>(want - p), static_cast<size_t>(s->capacity) - slot);
                        memcpy(buf + (p - offset), s->ring + slot, len);
                        p += static_cast<int64_t>(len);
                    }
                    copied = want - offset;
                } else if (!transferring_get(&s->rb)) {
                    // Ended before the bytes came: a broken transfer, asked again exactly.
                    s->failed = true;
                    copied = STREAM_BROKEN;
                } else if (s->paused) {
                    // A full ring of bytes this reader has moved past (a whole file that runs up
                    // to a read further on, or reads of the kernel's read-ahead that came first):
                    // they make room.
                    stream_let_go(s, offset);
                }
            }
            if (copied != NOT_YET && waiting.first >= 0) {
                s->readers.erase(std::find(s->readers.begin(), s->readers.end(), waiting));
                if (copied >= 0)
                    stream_let_go(s, offset + copied - KEEP_BEHIND);
            }
            if (s->paused && s->tail - s->head <= s->capacity / 2) {
                s->paused = false;
                resume = true;
            }
        }
        if (resume)
            stream_resume(s);
        if (copied != NOT_YET)
            return copied;
        transfer_wait();
    }
}

// Starts a stream where the window's last one ends, twice its request size (up to
// MAX_REQUEST), to go with the streams of `to_start`; null at the end of the file or without
// room for it.
static Stream *window_extend(Prefetch *pf, std::vector<Stream *> *to_start) REQUIRES(pf->lock)
{
    int64_t from = pf->streams.back()->end;
    if (from >= pf->version.size)
        return nullptr;
    pf->request_size = std::min(pf->request_size * 2, MAX_REQUEST);
    Stream *next = stream_new(pf, from, pf->request_size);
    if (next)
        to_start->push_back(next);
    return next;
}

// The stream the read at `at` is to be served from, referenced for the reader (null: an exact
// request), with the streams to start (referenced for the caller too) and those to free after
// the lock. The window of streams moves with the reader: streams it has left go; a read just
// past the window extends it; AHEAD streams run past the reader's, each twice the size of the
// one before (up to MAX_REQUEST), so that the next bytes are asked for a round trip or more
// before the reader needs them; a read near the window but in none of its
// streams is an exact request; a read away from the window drops it, and a sequential one
// starts a new, small one.
static Stream *window_for(Prefetch *pf, int64_t at, int64_t len, int64_t run, std::vector<Stream *> *to_start,
                          std::vector<Stream *> *gone) REQUIRES(pf->lock)
{
    if (pf->given_up) {
        std::vector<Stream *> left = drop_streams(pf);
        gone->insert(gone->end(), left.begin(), left.end());
        return nullptr;
    }
    for (auto it = pf->streams.begin(); it != pf->streams.end();) {
        Stream *old = *it;
        // Streams the reader has left, and those that failed (among them the ones a whole file
        // made useless), go.
        if ((old->end <= at - KEEP_BEHIND && !pf->whole_only) || old->failed) {
            it = pf->streams.erase(it);
            if (Stream *last = stream_release(pf, old))
                gone->push_back(last);
        } else {
            ++it;
        }
    }
    Stream *s = stream_at(pf, at);
    // A whole file's stream that has let go of the bytes at the read starts again from there:
    // an exact request would bring the file from its start up to them.
    if (s && pf->whole_only && at < s->head)
        s = nullptr;
    Stream *back = pf->streams.empty() ? nullptr : pf->streams.back();
    if (!s && back && !pf->whole_only && at >= back->end && at < back->end + WINDOW_SLACK) {
        // Just past the window: it grows to the read.
        while (!s && window_extend(pf, to_start))
            s = stream_at(pf, at);
        if (!s)
            return nullptr;
    } else if (!s && !pf->whole_only && !pf->streams.empty() &&
               at >= pf->streams.front()->start - 2 * KEEP_BEHIND && at < back->end + WINDOW_SLACK) {
        // Among the streams, or a little behind them: a read of the kernel's read-ahead that
        // came late, or a gap the file limit left. It goes as an exact request and the window
        // stays for the reads after it.
        return nullptr;
    } else if (!s) {
        std::vector<Stream *> left = drop_streams(pf);
        gone->insert(gone->end(), left.begin(), left.end());
        pf->request_size = FIRST_REQUEST;
        if (run < 0 && !pf->whole_only)
            return nullptr;
        s = stream_new(pf, at, std::max(pf->request_size, len));
        if (!s)
            return nullptr;
        to_start->push_back(s);
    }
    s->refs++;
    // Up to AHEAD streams past the reader's, each started as the reader enters the one before.
    size_t past = 0;
    for (size_t i = pf->streams.size(); i > 0 && pf->streams[i - 1] != s; i--)
        past++;
    while (!pf->whole_only && past < AHEAD && window_extend(pf, to_start))
        past++;
    return s;
}

int64_t Prefetch_read(Prefetch *pf, char *buf, uint64_t size, int64_t offset, int64_t run)
{
    int64_t file_size = pf->version.size;
    if (size == 0 || offset < 0 || offset >= file_size)
        return Link_read(pf->link, pf->version, buf, size, offset, nullptr);
    int64_t len = std::min(static_cast<int64_t>(size), file_size - offset);
    int64_t done = 0;
    while (done < len) {
        int64_t at = offset + done;
        Stream *s;
        std::vector<Stream *> to_start, gone;
        {
            ScopedLock guard(&pf->lock, HERE);
            s = window_for(pf, at, len - done, run, &to_start, &gone);
        }
        free_all(gone);
        for (Stream *started : to_start)
            stream_start(started);
        int64_t r = s ? stream_copy(pf, s, buf + done, len - done, at) : STREAM_PASSED;
        // A stream that broke off (the server went away or stalled) has spent one attempt of
        // the bytes it was to bring: the exact request has the rest, so that a stalled server
        // costs the reader no more than without the read-ahead.
        RetryBudget spent{};
        if (r == STREAM_BROKEN && !transferring_get(&s->rb) && s->rb.result != CURLE_OK) {
            spent.attempts = 1;
            spent.timeouts = s->rb.result == CURLE_OPERATION_TIMEDOUT ? 1 : 0;
        }
        gone.clear();
        {
            ScopedLock guard(&pf->lock, HERE);
            for (Stream *started : to_start) {
                if (Stream *last = stream_release(pf, started))
                    gone.push_back(last);
            }
            if (Stream *last = s ? stream_release(pf, s) : nullptr)
                gone.push_back(last);
        }
        free_all(gone);
        if (r < 0) {
            // No stream, or one that could not serve (a failed one goes at the next read): the
            // rest is one exact range request, which says what went wrong when something did.
            r = Link_read(pf->link, pf->version, buf + done, static_cast<uint64_t>(len - done), at, nullptr, spent);
            if (r < 0)
                return r;
            return done + r;
        }
        done += r;
    }
    return done;
}
