// Load control: how many metadata requests the walk keeps in flight (the load
// window, adapted to the latency the storage shows), the workers' leases of
// that window, and the cap on entries listed per second.
//
// A request in flight is a synchronous call of a worker (statx, open,
// getdents64) or a statx of a ring pass that an io-wq thread is running. A
// worker leases units of the window at a batch boundary: one for synchronous
// work, one more for every io-wq thread its ring may use. Workers that find
// no room sleep on a condition variable.
#pragma once

#include <stdint.h>

// The window's controller: pure data, changed only by fr2_load_decide.
struct fr2_load_ctl {
    int32_t window;  // requests allowed in flight
    int32_t floor;
    int32_t ceiling;
    int64_t smooth_ns;     // smoothed latency per request
    int64_t base_ns;       // the lowest smoothed latency recently seen
    int32_t base_age;      // decisions since the base was last seen again
    int32_t high_streak;   // decisions in a row well above the base
    bool slow_start;       // growing fast until the latency first moves
    int32_t probe_left;    // decisions left in a base probe (0: none)
    int32_t probe_saved;   // the window to return to after the probe
    int64_t probe_min_ns;  // the lowest latency seen during the probe
};

void fr2_load_ctl_init(fr2_load_ctl *c, int32_t floor, int32_t ceiling);
// Takes the mean latency per request (nanoseconds) measured since the last
// decision; returns the new window.
int32_t fr2_load_decide(fr2_load_ctl *c, int64_t mean_ns);

// What one worker holds of the window.
struct fr2_load_lease {
    int32_t held;
};

// Sets the load control of a walk up: the window's ceiling (max_inflight, or
// what `threads` workers can use at most, `most_requests`), whether it adapts,
// the rate cap (entries per second, 0: none) and the trace file (null: none).
// 0, or -1 after a message when the trace cannot be opened. Only while no
// worker runs.
int fr2_load_init(int32_t most_requests, int32_t max_inflight, bool adapt, int64_t max_rate,
                  const char *trace_path);
// Closes the trace; after the workers are joined.
void fr2_load_finish(void);

// The one place a worker waits for room in the window, at a batch boundary
// (nothing of its own in flight): it gives back what it holds and takes up to
// `want` units (0: at least one, or what it already holds), waiting while
// the window is full. Returns the units it holds, at least 1.
int32_t fr2_load_pass(fr2_load_lease *lease, int32_t want);
// Takes more room, up to `want` units in all, without waiting: what is free
// now. For a worker between two requests of a batch, nothing in flight, that
// finds it needs more. Returns the units it holds.
int32_t fr2_load_try_more(fr2_load_lease *lease, int32_t want);
// Gives back all the worker holds, before it waits for work.
void fr2_load_idle(fr2_load_lease *lease);

// A sample for the controller: `requests` requests took `busy_ns` of
// request time together (the sum of their latencies) and `now_ns` is the
// monotonic clock at the end. Decides when a period has passed. Cheap: two
// relaxed additions, unless it decides.
void fr2_load_observe(int64_t now_ns, int64_t busy_ns, int64_t requests);

// Whether a hard cap is set: a ring pass then carries no more requests than
// io-wq threads the worker holds units for.
bool fr2_load_capped(void);

// Waits until `entries` more entries may be listed under the rate cap and
// takes them: true. false, with nothing taken, as soon as `stop` (null:
// never) says so while it waits.
bool fr2_load_take_entries(int32_t entries, bool (*stop)(void));
// A new rate for a capped walk (a rank's share of its job's rate), at least 1.
void fr2_load_set_rate(int64_t rate);
// Entries reserved under the cap so far, and how many reservations had to
// wait for their turn: a walk that waits is held back by the cap.
void fr2_load_rate_usage(int64_t *entries, int64_t *waits);
// The most entries a batch holds, and the directory read size, under the
// rate cap: small enough that a batch is a small part of a second's budget.
int32_t fr2_load_batch_limit(int32_t limit);
int32_t fr2_load_read_size(int32_t size);

// The monotonic clock in nanoseconds.
int64_t fr2_load_now_ns(void);
