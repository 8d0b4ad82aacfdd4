// Load control: the window of requests in flight, its controller, the
// workers' leases and the entry rate cap.
//
// The controller works as TCP Vegas does on round-trip times: the base is the
// lowest latency recently seen; while the measured latency stays near it the
// storage has room and the window grows; when the latency climbs well above
// it, requests are queueing at the server and the window shrinks in
// proportion. A server with a fixed capacity C answering in L then settles at
// a window of about 1.2 C to 1.5 C, where requests queue for at most half a
// service time; storage that answers at CPU speed settles at about the number
// of CPUs, since one more runnable worker than CPUs stretches every call; and
// storage whose latency does not move with the load lets the window grow to
// its ceiling.
#include "fr2_load.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "fr2.h"

// ---- the decision ---------------------------------------------------------------

// A decision per period, once it holds enough requests to mean something.
static const int64_t LOAD_PERIOD_NS = 25'000'000;
static const int64_t LOAD_MIN_REQUESTS = 8;
// Near the base: up to 1.2 times it; well above: over 1.5 times, for two
// decisions in a row (one period of queueing can be another client's burst).
static const int64_t LOAD_GROW_NUM = 6, LOAD_GROW_DEN = 5;
static const int64_t LOAD_SHRINK_NUM = 3, LOAD_SHRINK_DEN = 2;
static const int32_t LOAD_SHRINK_AFTER = 2;
// The base is forgotten when the latency has not come back to it (within 5%)
// for this many decisions (3 s): the window then halves for a few periods to
// measure it again, as the storage may have become slower for good, or the
// window may sit where requests always queue a little.
static const int32_t LOAD_BASE_MEMORY = 120;
static const int32_t LOAD_PROBE_DECISIONS = 3;  // the first drains the queue

static int32_t load_clamp(const fr2_load_ctl *c, int64_t w) {
    return int32_t(w < c->floor ? c->floor : w > c->ceiling ? c->ceiling : w);
}

void fr2_load_ctl_init(fr2_load_ctl *c, int32_t floor, int32_t ceiling) {
    memset(c, 0, sizeof *c);
    c->ceiling = ceiling < 1 ? 1 : ceiling;
    c->floor = floor < 1 ? 1 : floor > c->ceiling ? c->ceiling : floor;
    c->window = c->floor;
    c->slow_start = true;
}

int32_t fr2_load_decide(fr2_load_ctl *c, int64_t mean_ns) {
    if (mean_ns < 1) mean_ns = 1;
    // A single spike moves the smoothed latency by a quarter of twice itself
    // at most.
    int64_t sample = c->smooth_ns && mean_ns > 2 * c->smooth_ns ? 2 * c->smooth_ns : mean_ns;
    c->smooth_ns = c->smooth_ns ? c->smooth_ns + (sample - c->smooth_ns) / 4 : sample;

    if (c->probe_left > 0) {
        if (c->probe_left < LOAD_PROBE_DECISIONS && mean_ns < c->probe_min_ns)
            c->probe_min_ns = mean_ns;
        if (--c->probe_left == 0) {
            c->base_ns = c->probe_min_ns;
            c->base_age = 0;
            c->window = load_clamp(c, c->probe_saved);
        }
        return c->window;
    }

    if (c->base_ns == 0 || c->smooth_ns < c->base_ns) {
        c->base_ns = c->smooth_ns;
        c->base_age = 0;
    } else if (c->smooth_ns * 20 <= c->base_ns * 21) {
        c->base_age = 0;
    } else if (++c->base_age >= LOAD_BASE_MEMORY && c->window <= c->floor) {
        // Already as low as it goes: what it measures now is the base.
        c->base_ns = c->smooth_ns;
        c->base_age = 0;
    } else if (c->base_age >= LOAD_BASE_MEMORY) {
        c->probe_saved = c->window;
        c->window = load_clamp(c, c->window / 2);
        c->probe_left = LOAD_PROBE_DECISIONS;
        c->probe_min_ns = INT64_MAX;
        c->high_streak = 0;
        return c->window;
    }

    int64_t w = c->window;
    if (c->smooth_ns * LOAD_GROW_DEN <= c->base_ns * LOAD_GROW_NUM) {
        c->high_streak = 0;
        w += c->slow_start ? (w + 1) / 2 : w / 4 + 1;
    } else if (c->smooth_ns * LOAD_SHRINK_DEN > c->base_ns * LOAD_SHRINK_NUM) {
        c->slow_start = false;
        if (++c->high_streak >= LOAD_SHRINK_AFTER) {
            // Back to where the latency would be near the base again, by a
            // quarter at most: the smoothed latency lags, and a slow period
            // of the storage itself would otherwise throw the window away.
            int64_t fit = w * c->base_ns * LOAD_GROW_NUM / (c->smooth_ns * LOAD_GROW_DEN);
            w = fit < w * 3 / 4 ? w * 3 / 4 : fit;
            c->high_streak = 0;
        }
    } else {
        c->slow_start = false;
        c->high_streak = 0;
    }
    c->window = load_clamp(c, w);
    return c->window;
}

// ---- the window and the leases ----------------------------------------------------

namespace {

struct load_state {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t room = PTHREAD_COND_INITIALIZER;  // units came free, or the window grew
    int32_t waiters = 0;                             // under lock
    fr2_load_ctl ctl = {};                           // under lock
    FILE *trace = nullptr;                           // under lock
    int64_t start_ns = 0;
    // Set before the workers start, read-only after.
    bool gated = false;   // workers lease units at all
    bool adapt = false;   // the window follows the controller
    bool capped = false;  // --max-inflight
    // Units leased; written under lock, read without it on the fast path.
    std::atomic<int32_t> used{0};
    std::atomic<int32_t> window{0};  // written under lock
    // Request time and requests since the last decision.
    std::atomic<int64_t> busy_ns{0};
    std::atomic<int64_t> requests{0};
    std::atomic<int64_t> next_decision_ns{0};
    // The entry rate: the time at which the next entry's budget begins. A
    // rank of a multi-node walk has its share of the job's rate changed as
    // the ranks' work moves (never from a capped rate to none).
    std::atomic<int64_t> rate{0};
    int64_t burst_ns = 0;
    std::atomic<int64_t> rate_next_ns{0};
    std::atomic<int64_t> rate_entries{0};  // entries reserved in all
    std::atomic<int64_t> rate_waits{0};    // reservations that had to wait
};

load_state g_load;

}  // namespace

int64_t fr2_load_now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int fr2_load_init(int32_t most_requests, int32_t max_inflight, bool adapt, int64_t max_rate,
                  const char *trace_path) {
    fr2_load_finish();
    int32_t ceiling = max_inflight > 0 ? max_inflight : most_requests;
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    fr2_load_ctl_init(&g_load.ctl, int32_t(cpus < 1 ? 1 : cpus), ceiling);
    g_load.adapt = adapt;
    g_load.capped = max_inflight > 0;
    g_load.gated = adapt || g_load.capped;
    g_load.window.store(adapt ? g_load.ctl.window : ceiling, std::memory_order_relaxed);
    g_load.used.store(0, std::memory_order_relaxed);
    g_load.waiters = 0;
    g_load.busy_ns.store(0, std::memory_order_relaxed);
    g_load.requests.store(0, std::memory_order_relaxed);
    g_load.start_ns = fr2_load_now_ns();
    g_load.next_decision_ns.store(g_load.start_ns + LOAD_PERIOD_NS, std::memory_order_relaxed);
    g_load.rate.store(max_rate, std::memory_order_relaxed);
    g_load.rate_entries.store(0, std::memory_order_relaxed);
    g_load.rate_waits.store(0, std::memory_order_relaxed);
    // Up to 20 ms of entries may go at once after a pause: a batch is read
    // before its entries are counted against the rate.
    g_load.burst_ns = 20'000'000;
    g_load.rate_next_ns.store(0, std::memory_order_relaxed);
    if (trace_path) {
        g_load.trace = fopen(trace_path, "w");
        if (!g_load.trace) {
            fprintf(stderr, FR2_PROGRAM_NAME ": could not open load trace file: %s: %s\n",
                    trace_path, strerror(errno));
            return -1;
        }
        fputs("ms\twindow\tleased\tlatency_us\tsmooth_us\tbase_us\n", g_load.trace);
    }
    return 0;
}

void fr2_load_finish(void) {
    if (g_load.trace) fclose(g_load.trace);
    g_load.trace = nullptr;
}

bool fr2_load_capped(void) { return g_load.capped; }

int32_t fr2_load_pass(fr2_load_lease *lease, int32_t want) {
    int32_t need = want > 0 ? want : lease->held > 0 ? lease->held : 1;
    if (!g_load.gated) return need;
    if (lease->held == need && g_load.used.load(std::memory_order_relaxed) <=
                                   g_load.window.load(std::memory_order_relaxed))
        return need;
    pthread_mutex_lock(&g_load.lock);
    int32_t used = g_load.used.load(std::memory_order_relaxed) - lease->held;
    lease->held = 0;
    while (used >= g_load.window.load(std::memory_order_relaxed)) {
        g_load.used.store(used, std::memory_order_relaxed);
        g_load.waiters++;
        pthread_cond_wait(&g_load.room, &g_load.lock);
        g_load.waiters--;
        used = g_load.used.load(std::memory_order_relaxed);
    }
    int32_t room = g_load.window.load(std::memory_order_relaxed) - used;
    lease->held = need < room ? need : room;
    used += lease->held;
    g_load.used.store(used, std::memory_order_relaxed);
    // Whoever is next may fit in what is left.
    if (g_load.waiters && used < g_load.window.load(std::memory_order_relaxed))
        pthread_cond_signal(&g_load.room);
    pthread_mutex_unlock(&g_load.lock);
    return lease->held;
}

int32_t fr2_load_try_more(fr2_load_lease *lease, int32_t want) {
    if (!g_load.gated) return want;
    if (lease->held >= want) return lease->held;
    pthread_mutex_lock(&g_load.lock);
    int32_t used = g_load.used.load(std::memory_order_relaxed);
    int32_t room = g_load.window.load(std::memory_order_relaxed) - used;
    int32_t more = want - lease->held < room ? want - lease->held : room;
    if (more > 0) {
        lease->held += more;
        g_load.used.store(used + more, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&g_load.lock);
    return lease->held;
}

void fr2_load_idle(fr2_load_lease *lease) {
    if (lease->held == 0) return;
    pthread_mutex_lock(&g_load.lock);
    g_load.used.store(g_load.used.load(std::memory_order_relaxed) - lease->held,
                      std::memory_order_relaxed);
    lease->held = 0;
    if (g_load.waiters) pthread_cond_signal(&g_load.room);
    pthread_mutex_unlock(&g_load.lock);
}

// Under the lock: one decision on what was measured since the last.
static void load_decide_locked(int64_t now_ns) {
    int64_t requests = g_load.requests.load(std::memory_order_relaxed);
    if (requests < LOAD_MIN_REQUESTS) return;
    g_load.requests.fetch_sub(requests, std::memory_order_relaxed);
    int64_t busy = g_load.busy_ns.exchange(0, std::memory_order_relaxed);
    int64_t mean = busy / requests;
    int32_t before = g_load.window.load(std::memory_order_relaxed);
    int32_t window = fr2_load_decide(&g_load.ctl, mean);
    g_load.window.store(window, std::memory_order_relaxed);
    if (window > before && g_load.waiters) pthread_cond_signal(&g_load.room);
    g_load.next_decision_ns.store(now_ns + LOAD_PERIOD_NS, std::memory_order_relaxed);
    if (g_load.trace)
        fprintf(g_load.trace, "%lld\t%d\t%d\t%.1f\t%.1f\t%.1f\n",
                (long long)((now_ns - g_load.start_ns) / 1'000'000), window,
                g_load.used.load(std::memory_order_relaxed), double(mean) / 1000,
                double(g_load.ctl.smooth_ns) / 1000, double(g_load.ctl.base_ns) / 1000);
}

void fr2_load_observe(int64_t now_ns, int64_t busy_ns, int64_t requests) {
    if (!g_load.adapt || requests <= 0) return;
    g_load.busy_ns.fetch_add(busy_ns, std::memory_order_relaxed);
    g_load.requests.fetch_add(requests, std::memory_order_relaxed);
    if (now_ns < g_load.next_decision_ns.load(std::memory_order_relaxed)) return;
    // One worker decides; the others go on with their work.
    if (pthread_mutex_trylock(&g_load.lock) != 0) return;
    if (now_ns >= g_load.next_decision_ns.load(std::memory_order_relaxed))
        load_decide_locked(now_ns);
    pthread_mutex_unlock(&g_load.lock);
}

// ---- the entry rate ---------------------------------------------------------------

bool fr2_load_take_entries(int32_t entries, bool (*stop)(void)) {
    // The budget is a time line shared by the workers: a batch takes its span
    // of it once the line has reached now (less a short burst), and sleeps
    // until then otherwise. Nothing is taken ahead: a share of a job's rate
    // that changes applies at once, and a worker that pauses holds nothing.
    bool waited = false;
    for (;;) {
        int64_t rate = g_load.rate.load(std::memory_order_relaxed);
        if (rate <= 0 || entries <= 0) return true;
        int64_t cost = int64_t(entries) * 1'000'000'000 / rate;
        int64_t now = fr2_load_now_ns();
        int64_t next = g_load.rate_next_ns.load(std::memory_order_relaxed);
        int64_t start = next > now - g_load.burst_ns ? next : now - g_load.burst_ns;
        if (start <= now) {
            if (!g_load.rate_next_ns.compare_exchange_weak(next, start + cost,
                                                           std::memory_order_relaxed))
                continue;
            g_load.rate_entries.fetch_add(entries, std::memory_order_relaxed);
            if (waited) g_load.rate_waits.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        if (stop && stop()) return false;
        waited = true;
        // Looks again at least every 20 ms: the rate may have changed, a
        // pause may be asked for.
        int64_t wake = start - now > 20'000'000 ? now + 20'000'000 : start;
        struct timespec until = {time_t(wake / 1'000'000'000), long(wake % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
}

void fr2_load_set_rate(int64_t rate) {
    int64_t old = g_load.rate.load(std::memory_order_relaxed);
    if (old <= 0 || rate <= 0 || rate == old) return;
    g_load.rate.store(rate, std::memory_order_relaxed);
    // What was taken beyond now was priced at the old rate.
    int64_t now = fr2_load_now_ns();
    int64_t next = g_load.rate_next_ns.load(std::memory_order_relaxed);
    while (next > now &&
           !g_load.rate_next_ns.compare_exchange_weak(
               next, now + int64_t(double(next - now) * double(old) / double(rate)),
               std::memory_order_relaxed)) {
    }
}

void fr2_load_rate_usage(int64_t *entries, int64_t *waits) {
    *entries = g_load.rate_entries.load(std::memory_order_relaxed);
    *waits = g_load.rate_waits.load(std::memory_order_relaxed);
}

int32_t fr2_load_batch_limit(int32_t limit) {
    int64_t rate = g_load.rate.load(std::memory_order_relaxed);
    if (rate <= 0) return limit;
    // A batch is at most a fiftieth of a second's entries.
    int64_t small = rate / 50;
    if (small < 16) small = 16;
    return small < limit ? int32_t(small) : limit;
}

int32_t fr2_load_read_size(int32_t size) {
    if (g_load.rate.load(std::memory_order_relaxed) <= 0) return size;
    // About 32 bytes a record for short names.
    int64_t small = int64_t(fr2_load_batch_limit(size)) * 32;
    if (small < 1024) small = 1024;
    return small < size ? int32_t(small) : size;
}
