// The communication thread of one rank: work stealing, chunk reports, global
// progress and the end of the walk across ranks.
//
// Work. Each rank runs the scanner's worker pool on its own local queue. The
// communication thread (the rank's main thread, the only one that calls MPI)
// polls for messages and, whenever the local queue is empty, asks a random
// other rank for work. The victim unlinks half of its queued items (the
// oldest: nearest the root, so the largest subtrees), sends them in one
// reply and forgets them; an empty reply means "nothing to spare". A
// single queued item is given only while none of the victim's workers waits
// for it. One request per rank is outstanding at a time; after an empty
// reply the next waits a little longer (up to 5 ms). Items are directories
// or chunks of big directories (see fr2_chunk.h); a chunk finished on
// another rank sends its counts back to the owner rank in a report.
//
// Counting. Every rank keeps one unit, the hold, in its dirs_pending for as
// long as the job runs, so the local count never reaches zero and no rank
// ends its own walk early. A rank is passive when its count is exactly the
// hold (nothing queued, read, held as a prefetch, or waiting for chunk
// reports) and it has no report left to send. A passive rank becomes
// active again only by receiving items.
//
// End of the walk: a counting token (Dijkstra and Safra). Each rank has a
// counter c (item messages sent minus item messages received) and a colour,
// black after it received items. The token carries a sum q and a colour; it
// moves 0 -> 1 -> ... -> N-1 -> 0 and a rank passes it on only while passive,
// adding its c to q, blackening the token if the rank is black, and turning
// itself white. Rank 0 starts a wave when passive; when the token comes back
// white, rank 0 is white and passive, and q + c0 == 0, no item is in flight
// and every rank is passive: the walk is over. Otherwise rank 0 starts a new
// wave. Invariant: while any rank is active or any item message is in flight,
// a wave cannot succeed: an item sent behind the token is counted in q
// without its receipt (q + c0 > 0); one sent ahead of it and received before
// the token arrives blackens the receiver; one received after the token
// passed the receiver blackens it for the next wave. Chunk reports need no
// counting: their owner holds the directory in its count, so it stays
// active until the last report arrives.
//
//   time  rank 0                      rank 1                 rank 2
//   t0    pushes the root, reads      queue empty: asks 0    asks 1: empty reply
//   t1    reply 1: 6 items (c0=1)     gets them (c1=-1, black)
//   t2    passive: token(0,white)->1  active: keeps the token
//   t3                                passive: token(-1,black)->2, white
//   t4                                                       passive: ->0
//   t5    black token: new wave, token(0,white)->1
//   t6                                passive: token(-1,white)->2
//   t7                                                       passive: ->0
//   t8    white, q + c0 = -1 + 1 = 0: DONE to every rank
//
// Leaving. Rank 0 sends DONE to every rank. A rank that sees DONE releases
// its hold (its workers end), answers any steal request with an empty reply,
// waits for the reply to its own request, then joins a non-blocking barrier
// and goes on answering until the barrier completes. Every message is sent
// with MPI_Issend, which completes only once it was received, and a rank
// joins the barrier only when all of its sends completed: after the barrier
// no message is in flight and MPI_Finalize is safe. Nothing here waits in a
// blocking MPI call, so a rank that dies is never waited on forever: mpirun
// ends the whole job when a process exits without MPI_Finalize.
//
// Rate (--max-rate N). The cap is the job's. Every 100 ms, and at once when
// its share starts to hold it back (a batch had to wait for its turn), each
// rank tells rank 0 how many entries a second it listed and whether it was
// held back; rank 0 gives each rank that was not held back what it used and
// a quarter more, and splits the rest of N evenly over the ranks that were
// (fr2_mpi_rate_shares). The shares never add up to more than N, and ranks
// without work do not leave the job listing below its cap for long: a rank
// that runs out of work hands its share on within two periods, and one that
// finds work gets its part at once.
//
// Checkpoints (--checkpoint PREFIX). Each rank writes its own part, the
// scanner's checkpoint of its queue, its directories in progress and its
// shard's committed length, to PREFIX.<rank>.ck0 or .ck1; the small file
// PREFIX names the generation G whose parts (slot G % 2) make up the job's
// state. Invariant: the parts of one generation hold every directory of the
// walk exactly once, because they were taken while no item was in flight
// between ranks and no rank gave or took any item between its own part and
// the commit. Big directories are never cut into chunks while checkpointing,
// so no chunk report is in flight either.
//
//   time  rank 0                           rank 1
//   t0    timer (or SIGTERM): PAUSE(G+1)->1
//   t1    from now on answers every steal  gets PAUSE: same; its own steal
//         with an empty reply, asks none   request out: waits for the reply
//   t2    pauses its workers, writes its   reply in (items queued), pauses
//         part to slot (G+1) % 2           its workers, writes its part
//   t3    its vote: written                VOTE(written)->0
//   t4    every vote in: writes PREFIX
//         naming G+1 (the commit), COMMIT->1
//   t5    steals again                     gets COMMIT: steals again
// The workers go on as soon as their rank's part is serialized; they only
// work on their own rank's queue until the commit. A failed part (a full
// disk) makes rank 0 send COMMIT(failed): PREFIX still names G, whose parts
// in the other slot are untouched, and the next interval tries again. A
// crash at any moment leaves PREFIX naming a whole generation: the parts of
// G+1 are written before PREFIX moves, and those of G are overwritten only
// by G+2, after PREFIX named G+1.
//
// SIGTERM or SIGINT: mpirun passes the signal to every rank; a rank other
// than 0 tells rank 0 (STOP), and rank 0 takes a last checkpoint with the
// workers left paused, after whose commit every rank leaves the job with the
// stopped status. Without --checkpoint the same pause only writes out what
// was listed.
#include "fr2_mpi_comm.h"

#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <vector>

#include <string>

#include "fr2.h"
#include "fr2_checkpoint.h"
#include "fr2_chunk.h"
#include "fr2_load.h"
#include "fr2_monitor.h"
#include "fr2_mpi_wire.h"
#include "fr2_queue.h"
#include "fr2_replace.h"

namespace {

// The most items one steal moves, to bound a reply's size.
const int MAX_ITEMS_PER_STEAL = 4096;
const int64_t PROGRESS_EVERY_NS = 5'000'000'000;
const int64_t FIRST_PROGRESS_NS = 2'000'000'000;
const int64_t STEAL_BACKOFF_MIN_NS = 200'000;
const int64_t STEAL_BACKOFF_MAX_NS = 5'000'000;
const int64_t WAVE_RETRY_NS = 1'000'000;
const int64_t RATE_PERIOD_NS = 100'000'000;

struct pending_send {
    MPI_Request req;
    uint8_t *buf;
};

struct chunk_report {
    int32_t owner;
    uint64_t big_id;
    int64_t fcount;
    int64_t dirsum;
};

struct comm_state {
    int rank = 0, size = 1;
    int64_t start_time = 0;  // wall-clock seconds
    // End-of-walk token.
    int64_t count = 0;       // item messages sent minus received
    bool black = false;
    bool have_token = false;
    int64_t token_q = 0;
    bool token_black = false;
    bool wave_out = false;   // rank 0: a wave is going round
    int64_t next_wave_ns = 0;
    bool done = false;
    // Stealing.
    bool steal_out = false;
    int64_t steal_backoff_ns = STEAL_BACKOFF_MIN_NS;
    int64_t next_steal_ns = 0;
    uint64_t rng = 0;
    // Progress: rank 0 keeps every rank's last totals.
    std::vector<int64_t> rank_files, rank_bytes;
    int64_t next_progress_ns = 0;
    bool progress_out = false;
    MPI_Request progress_req = MPI_REQUEST_NULL;
    int64_t progress_buf[2] = {0, 0};

    // The job's rate: rank 0 keeps what every rank used and its share.
    int64_t job_rate = 0;
    int64_t next_rate_ns = 0;
    int64_t rate_at_ns = 0;
    int64_t rate_entries = 0, rate_waits = 0;  // the counters at the last report
    bool rate_said_held = false;               // what the last report said
    bool rate_reshare = false;                 // rank 0: a report changed the picture
    std::vector<fr2_rate_use> rate_use;
    std::vector<int64_t> rate_shares;
    // Checkpoints and stops.
    const char *ck_prefix = nullptr;  // null: no checkpoints, stops only
    int64_t ck_every_ns = 0;
    int64_t next_ck_ns = 0;
    uint64_t ck_generation = 0;       // the one PREFIX names; 0: none yet
    enum { CK_NONE, CK_DRAINING, CK_VOTED } ck_phase = CK_NONE;
    uint64_t ck_next = 0;             // the generation being taken
    bool ck_stopping = false;
    int ck_votes = 0;                 // rank 0: parts written
    int ck_failed_votes = 0;
    int32_t signals_seen = 0;
    bool stop_wanted = false;         // rank 0: a rank was signalled
    fr2_mpi_end end = FR2_MPI_WALK_DONE;

    std::vector<pending_send> sends;
    fr2_mpi_stats stats = {};
    fr2_outbuf *out = nullptr;  // lines of big directories finished by a remote report
};

comm_state g_comm;
std::atomic<int32_t> g_comm_signals;  // SIGTERM and SIGINT received

// Reports of chunks finished by this rank's workers for other ranks; the
// workers append, the communication thread sends.
pthread_mutex_t g_outbox_lock = PTHREAD_MUTEX_INITIALIZER;
std::vector<chunk_report> g_outbox;
std::atomic<int32_t> g_outbox_len;  // g_outbox.size(), readable without the lock

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

uint64_t next_random(comm_state &c) {  // xorshift64*
    c.rng ^= c.rng >> 12;
    c.rng ^= c.rng << 25;
    c.rng ^= c.rng >> 27;
    return c.rng * 2685821657736338717ull;
}

void send_bytes(comm_state &c, int dest, int tag, uint8_t *buf, size_t len) {
    pending_send s;
    s.buf = buf;
    MPI_Issend(buf, int(len), MPI_BYTE, dest, tag, MPI_COMM_WORLD, &s.req);
    c.sends.push_back(s);
    c.stats.messages_sent++;
    c.stats.bytes_sent += int64_t(len);
}

void send_empty(comm_state &c, int dest, int tag) { send_bytes(c, dest, tag, nullptr, 0); }

// A message's buffer; a rank that cannot even make one ends the job.
uint8_t *message_buffer(size_t len, const char *what) {
    uint8_t *buf = static_cast<uint8_t *>(malloc(len));
    if (!buf) {
        fprintf(stderr, "fsrake2-mpi: out of memory %s\n", what);
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    return buf;
}

// Sends `count` (1 or 2) numbers.
void send_i64s(comm_state &c, int dest, int tag, int64_t a, int64_t b, int count) {
    int64_t v[2] = {a, b};
    uint8_t *buf = message_buffer(16, "sending a message");
    memcpy(buf, v, 16);
    send_bytes(c, dest, tag, buf, size_t(count) * 8);
}

void test_sends(comm_state &c) {
    size_t kept = 0;
    for (size_t i = 0; i < c.sends.size(); i++) {
        int flag = 0;
        MPI_Test(&c.sends[i].req, &flag, MPI_STATUS_IGNORE);
        if (flag)
            free(c.sends[i].buf);
        else
            c.sends[kept++] = c.sends[i];
    }
    c.sends.resize(kept);
}

void remote_report(int32_t owner, uint64_t big_id, int64_t fcount, int64_t dirsum) {
    pthread_mutex_lock(&g_outbox_lock);
    g_outbox.push_back(chunk_report{owner, big_id, fcount, dirsum});
    g_outbox_len.store(int32_t(g_outbox.size()), std::memory_order_release);
    pthread_mutex_unlock(&g_outbox_lock);
}

void send_reports(comm_state &c) {
    if (g_outbox_len.load(std::memory_order_acquire) == 0) return;
    std::vector<chunk_report> reports;
    pthread_mutex_lock(&g_outbox_lock);
    reports.swap(g_outbox);
    pthread_mutex_unlock(&g_outbox_lock);
    for (const chunk_report &r : reports) {
        uint8_t *buf = message_buffer(24, "sending a chunk report");
        memcpy(buf, &r.big_id, 8);
        memcpy(buf + 8, &r.fcount, 8);
        memcpy(buf + 16, &r.dirsum, 8);
        send_bytes(c, r.owner, FR2_TAG_CHUNK_REPORT, buf, 24);
        c.stats.chunk_reports++;
    }
    // Sent (handed to MPI) before the rank may look passive again.
    pthread_mutex_lock(&g_outbox_lock);
    g_outbox_len.store(int32_t(g_outbox.size()), std::memory_order_release);
    pthread_mutex_unlock(&g_outbox_lock);
}

bool passive() {
    return g_state.dirs_pending.load(std::memory_order_acquire) == 1 &&
           g_outbox_len.load(std::memory_order_acquire) == 0;
}


void answer_steal(comm_state &c, int thief) {
    static fr2_dir_item *items[MAX_ITEMS_PER_STEAL];
    uint32_t n = 0;
    // Nothing moves between a rank's part of a checkpoint and its commit.
    if (!c.done && c.end == FR2_MPI_WALK_DONE && c.ck_phase == comm_state::CK_NONE)
        n = uint32_t(fr2_queue_take_half(items, MAX_ITEMS_PER_STEAL,
                                         !fr2_activity_any(WORKER_IN_QUEUE_WAIT)));
    size_t len = fr2_wire_list_size(items, n);
    uint8_t *buf = static_cast<uint8_t *>(malloc(len));
    if (!buf) {
        // Keep the items: give them back to the local queue and refuse.
        for (uint32_t i = 0; i < n; i++) fr2_queue_push(items[i]);
        n = 0;
        len = 0;
    } else {
        fr2_wire_put_list(buf, items, n);
    }
    if (n > 0) c.count++;  // counted before the items leave this rank's count
    send_bytes(c, thief, FR2_TAG_STEAL_REPLY, buf, n > 0 ? len : 0);
    if (n == 0) return;
    c.stats.items_given += n;
    for (uint32_t i = 0; i < n; i++) fr2_dir_item_free(items[i]);
    // The hold keeps this from reaching zero.
    g_state.dirs_pending.fetch_sub(int32_t(n), std::memory_order_acq_rel);
}

void take_reply(comm_state &c, const uint8_t *buf, size_t len) {
    c.steal_out = false;
    static fr2_dir_item *items[MAX_ITEMS_PER_STEAL];
    int n = len == 0 ? 0 : fr2_wire_get_list(buf, len, items, MAX_ITEMS_PER_STEAL);
    if (n < 0) {
        fprintf(stderr, "fsrake2-mpi: a steal reply that is not a list of items\n");
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    if (n == 0) {
        c.next_steal_ns = now_ns() + c.steal_backoff_ns;
        c.steal_backoff_ns = c.steal_backoff_ns * 2 > STEAL_BACKOFF_MAX_NS
                                 ? STEAL_BACKOFF_MAX_NS
                                 : c.steal_backoff_ns * 2;
        return;
    }
    c.count--;
    c.black = true;
    c.steal_backoff_ns = STEAL_BACKOFF_MIN_NS;
    c.next_steal_ns = 0;
    c.stats.steals_won++;
    c.stats.items_received += n;
    g_state.dirs_pending.fetch_add(int32_t(n), std::memory_order_acq_rel);  // counted before they are queued
    for (int i = 0; i < n; i++) fr2_queue_push(items[i]);
}

void send_token(comm_state &c, int64_t q, bool black) {
    send_i64s(c, (c.rank + 1) % c.size, FR2_TAG_TOKEN, q, black, 2);
    c.stats.token_passes++;
}

void announce_done(comm_state &c) {
    c.done = true;
    for (int r = 0; r < c.size; r++)
        if (r != c.rank) send_empty(c, r, FR2_TAG_DONE);
}

// The token moves on from a passive rank only.
void handle_token(comm_state &c) {
    if (c.done || !passive()) return;
    // Rank 0 ends nothing while a checkpoint is under way: the ranks wait for
    // its commit.
    if (c.rank == 0 && c.ck_phase != comm_state::CK_NONE) return;
    if (c.rank != 0) {
        if (!c.have_token) return;
        c.have_token = false;
        send_token(c, c.token_q + c.count, c.token_black || c.black);
        c.black = false;
        return;
    }
    if (c.have_token) {  // a wave came back
        c.have_token = false;
        c.wave_out = false;
        if (!c.token_black && !c.black && c.token_q + c.count == 0) {
            announce_done(c);
            return;
        }
        c.next_wave_ns = now_ns() + WAVE_RETRY_NS;
    }
    if (c.wave_out || now_ns() < c.next_wave_ns) return;
    c.black = false;
    if (c.size == 1) {  // the wave is the rank itself
        if (c.count == 0) announce_done(c);
        return;
    }
    c.wave_out = true;
    send_token(c, 0, false);
}

void apply_report(comm_state &c, const uint8_t *buf, size_t len) {
    if (len != 24) {
        fprintf(stderr, "fsrake2-mpi: a chunk report of %zu bytes\n", len);
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    uint64_t id;
    int64_t fcount, dirsum;
    memcpy(&id, buf, 8);
    memcpy(&fcount, buf + 8, 8);
    memcpy(&dirsum, buf + 16, 8);
    fr2_big_dir_report(c.out, reinterpret_cast<fr2_big_dir *>(uintptr_t(id)), fcount, dirsum);
}

// ---- the job's rate ------------------------------------------------------------------

// Every period each rank reports its use, and at once when the cap starts to
// hold it back (its share may be a floor while it found work); rank 0 shares
// the rate out anew every period and whenever a rank is held back anew.
void rate_step(comm_state &c) {
    if (c.job_rate <= 0) return;
    int64_t now = now_ns();
    int64_t entries, waits;
    fr2_load_rate_usage(&entries, &waits);
    bool newly_held = waits > c.rate_waits && !c.rate_said_held;
    if (now >= c.next_rate_ns || newly_held) {
        c.next_rate_ns = now + RATE_PERIOD_NS;
        int64_t span = now - c.rate_at_ns;
        fr2_rate_use mine = {span > 0 ? (entries - c.rate_entries) * 1'000'000'000 / span : 0,
                             waits > c.rate_waits};
        c.rate_at_ns = now;
        c.rate_entries = entries;
        c.rate_waits = waits;
        c.rate_said_held = mine.held;
        if (c.rank != 0) {
            send_i64s(c, 0, FR2_TAG_RATE_USE, mine.per_sec, mine.held, 2);
            return;
        }
        c.rate_use[0] = mine;
        c.rate_reshare = true;
    }
    if (c.rank != 0 || !c.rate_reshare) return;
    c.rate_reshare = false;
    std::vector<int64_t> shares(size_t(c.size));
    fr2_mpi_rate_shares(c.job_rate, c.size, c.rate_use.data(), shares.data());
    for (int r = 0; r < c.size; r++) {
        if (shares[size_t(r)] == c.rate_shares[size_t(r)]) continue;
        c.rate_shares[size_t(r)] = shares[size_t(r)];
        if (r == 0)
            fr2_load_set_rate(shares[0]);
        else
            send_i64s(c, r, FR2_TAG_RATE_SHARE, shares[size_t(r)], 0, 1);
    }
}

// ---- checkpoints and stops --------------------------------------------------------

std::string ck_part_path(const comm_state &c, uint64_t generation) {
    return std::string(c.ck_prefix) + "." + std::to_string(c.rank) + ".ck" +
           std::to_string(generation % 2);
}

void ck_apply_commit(comm_state &c, bool committed) {
    if (committed) c.ck_generation = c.ck_next;
    c.ck_phase = comm_state::CK_NONE;
    c.ck_votes = c.ck_failed_votes = 0;
    c.next_ck_ns = now_ns() + c.ck_every_ns;
    if (c.ck_stopping) c.end = c.ck_generation ? FR2_MPI_STOPPED : FR2_MPI_STOPPED_UNSAVED;
}

// Rank 0 starts a checkpoint when one is due or a rank was signalled.
void ck_maybe_start(comm_state &c) {
    if (c.rank != 0 || c.done || c.ck_phase != comm_state::CK_NONE) return;
    bool stop = c.stop_wanted;
    if (!stop && (!c.ck_prefix || now_ns() < c.next_ck_ns)) return;
    c.ck_next = c.ck_generation + 1;
    c.ck_stopping = stop;
    c.ck_phase = comm_state::CK_DRAINING;
    for (int r = 1; r < c.size; r++) {
        uint8_t *buf = message_buffer(9, "starting a checkpoint");
        memcpy(buf, &c.ck_next, 8);
        buf[8] = stop;
        send_bytes(c, r, FR2_TAG_CK_PAUSE, buf, 9);
    }
}

// This rank's part: once its own steal request is answered (the items of
// the reply are then queued here), with the workers paused.
void ck_write_part(comm_state &c) {
    if (c.ck_phase != comm_state::CK_DRAINING || c.steal_out) return;
    bool written;
    if (c.ck_prefix) {
        written = fr2_checkpoint_take(ck_part_path(c, c.ck_next).c_str(), c.ck_stopping);
    } else {
        fr2_flush_output(c.out);
        written = fr2_checkpoint_take(nullptr, true);
    }
    c.ck_phase = comm_state::CK_VOTED;
    if (c.rank == 0) {
        c.ck_votes++;
        if (!written) c.ck_failed_votes++;
        return;
    }
    uint8_t *buf = message_buffer(1, "voting on a checkpoint");
    buf[0] = written;
    send_bytes(c, 0, FR2_TAG_CK_VOTE, buf, 1);
}

// Rank 0, every part written: PREFIX names the new generation, which commits it.
void ck_maybe_commit(comm_state &c) {
    if (c.rank != 0 || c.ck_phase != comm_state::CK_VOTED || c.ck_votes < c.size) return;
    bool committed = c.ck_failed_votes == 0 && c.ck_prefix;
    if (committed) {
        char text[128];
        int len = snprintf(text, sizeof text, FR2_MPI_CK_FORMAT, c.size,
                           (unsigned long long)c.ck_next);
        const char *what = "";
        if (fr2_replace_file(c.ck_prefix, text, size_t(len), &what) != 0) {
            fprintf(stderr, "fsrake2-mpi: checkpoint not written: %s.tmp: %s: %s (the previous "
                            "checkpoint stays)\n",
                    c.ck_prefix, what, strerror(errno));
            committed = false;
        }
    }
    for (int r = 1; r < c.size; r++) {
        uint8_t *buf = message_buffer(1, "committing a checkpoint");
        buf[0] = committed;
        send_bytes(c, r, FR2_TAG_CK_COMMIT, buf, 1);
    }
    ck_apply_commit(c, committed);
}

// A signal: rank 0 stops the job; any other rank tells rank 0 once.
void ck_take_signals(comm_state &c) {
    int32_t seen = g_comm_signals.load(std::memory_order_relaxed);
    if (seen == c.signals_seen) return;
    if (c.signals_seen == 0) {
        if (c.rank == 0)
            c.stop_wanted = true;
        else
            send_empty(c, 0, FR2_TAG_STOP);
    }
    c.signals_seen = seen;
}

void ck_signal_handler(int) { g_comm_signals.fetch_add(1, std::memory_order_relaxed); }

// Receives and handles every message that has arrived; returns how many.
int poll_messages(comm_state &c) {
    int handled = 0;
    for (;;) {
        int flag = 0;
        MPI_Status st;
        MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &flag, &st);
        if (!flag) return handled;
        int len = 0;
        MPI_Get_count(&st, MPI_BYTE, &len);
        uint8_t *buf = len > 0 ? static_cast<uint8_t *>(malloc(size_t(len))) : nullptr;
        if (len > 0 && !buf) {
            fprintf(stderr, "fsrake2-mpi: out of memory receiving %d bytes\n", len);
            MPI_Abort(MPI_COMM_WORLD, 1);
        }
        MPI_Recv(buf, len, MPI_BYTE, st.MPI_SOURCE, st.MPI_TAG, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        handled++;
        switch (st.MPI_TAG) {
        case FR2_TAG_STEAL_REQUEST: answer_steal(c, st.MPI_SOURCE); break;
        case FR2_TAG_STEAL_REPLY: take_reply(c, buf, size_t(len)); break;
        case FR2_TAG_TOKEN: {
            int64_t t[2] = {0, 0};
            if (len == 16) memcpy(t, buf, 16);
            c.have_token = true;
            c.token_q = t[0];
            c.token_black = t[1] != 0;
            break;
        }
        case FR2_TAG_DONE: c.done = true; break;
        case FR2_TAG_CHUNK_REPORT: apply_report(c, buf, size_t(len)); break;
        case FR2_TAG_CK_PAUSE:
            if (len == 9) {
                memcpy(&c.ck_next, buf, 8);
                c.ck_stopping = buf[8] != 0;
                c.ck_phase = comm_state::CK_DRAINING;
            }
            break;
        case FR2_TAG_CK_VOTE:
            c.ck_votes++;
            if (len != 1 || buf[0] == 0) c.ck_failed_votes++;
            break;
        case FR2_TAG_CK_COMMIT: ck_apply_commit(c, len == 1 && buf[0] != 0); break;
        case FR2_TAG_STOP: c.stop_wanted = true; break;
        case FR2_TAG_RATE_USE:
            if (len == 16 && !c.rate_use.empty()) {
                int64_t v[2];
                memcpy(v, buf, 16);
                fr2_rate_use &use = c.rate_use[size_t(st.MPI_SOURCE)];
                if (use.held != (v[1] != 0)) c.rate_reshare = true;
                use = {v[0], v[1] != 0};
            }
            break;
        case FR2_TAG_RATE_SHARE:
            if (len == 8) {
                int64_t share;
                memcpy(&share, buf, 8);
                fr2_load_set_rate(share);
            }
            break;
        case FR2_TAG_PROGRESS:
            if (len == 16) {
                memcpy(&c.rank_files[size_t(st.MPI_SOURCE)], buf, 8);
                memcpy(&c.rank_bytes[size_t(st.MPI_SOURCE)], buf + 8, 8);
            }
            break;
        default: break;
        }
        free(buf);
    }
}

bool local_queue_empty() { return fr2_queue_is_empty(); }

void maybe_steal(comm_state &c) {
    if (c.size < 2 || c.done || c.steal_out || c.ck_phase != comm_state::CK_NONE ||
        !local_queue_empty())
        return;
    if (c.next_steal_ns && now_ns() < c.next_steal_ns) return;
    int victim = int(next_random(c) % uint64_t(c.size - 1));
    if (victim >= c.rank) victim++;
    send_empty(c, victim, FR2_TAG_STEAL_REQUEST);
    c.steal_out = true;
    c.stats.steal_requests++;
}

void progress(comm_state &c) {
    int64_t now = now_ns();
    if (now < c.next_progress_ns) return;
    c.next_progress_ns = now + PROGRESS_EVERY_NS;
    int64_t files = g_state.total_files.load(std::memory_order_relaxed);
    int64_t bytes = g_state.total_bytes.load(std::memory_order_relaxed);
    if (c.rank != 0) {
        if (c.progress_out) {
            int flag = 0;
            MPI_Test(&c.progress_req, &flag, MPI_STATUS_IGNORE);
            if (!flag) return;  // rank 0 has not taken the last one yet
            c.progress_out = false;
        }
        c.progress_buf[0] = files;
        c.progress_buf[1] = bytes;
        MPI_Issend(c.progress_buf, 16, MPI_BYTE, 0, FR2_TAG_PROGRESS, MPI_COMM_WORLD,
                   &c.progress_req);
        c.progress_out = true;
        c.stats.messages_sent++;
        c.stats.bytes_sent += 16;
        return;
    }
    for (int r = 1; r < c.size; r++) {
        files += c.rank_files[size_t(r)];
        bytes += c.rank_bytes[size_t(r)];
    }
    fr2_monitor_print_totals(":", files, bytes, int64_t(time(nullptr)), c.start_time);
}

// Sleeps a little when a round found nothing to do: the ranks share the
// machine's cores with the workers.
void idle_pause(int idle_rounds) {
    struct timespec ts = {0, idle_rounds < 16 ? 20'000 : idle_rounds < 256 ? 100'000 : 500'000};
    nanosleep(&ts, nullptr);
}

}  // namespace

void fr2_mpi_comm_init(int rank, int size, int64_t start_time) {
    comm_state &c = g_comm;
    c.rank = rank;
    c.size = size;
    c.start_time = start_time;
    c.rng = 0x9e3779b97f4a7c15ull * uint64_t(rank + 1) ^ uint64_t(now_ns());
    if (c.rng == 0) c.rng = 1;
    c.rank_files.assign(size_t(size), 0);
    c.rank_bytes.assign(size_t(size), 0);
    c.next_progress_ns = now_ns() + FIRST_PROGRESS_NS;
    c.out = static_cast<fr2_outbuf *>(calloc(1, sizeof(fr2_outbuf)));
    if (!c.out) {
        fprintf(stderr, "fsrake2-mpi: out of memory\n");
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    g_chunk_rank = rank;
    g_chunk_report_remote = remote_report;
}

int64_t fr2_mpi_rate_even_share(int64_t job_rate, int n, int r) {
    if (job_rate <= 0) return 0;
    int64_t share = job_rate / n + (r < job_rate % n ? 1 : 0);
    return share < 1 ? 1 : share;
}

bool fr2_mpi_comm_has_work(void) {
    // Beyond the hold: queued, read, prefetched or waiting for chunk reports.
    return g_state.dirs_pending.load(std::memory_order_acquire) > 1;
}

void fr2_mpi_rate_shares(int64_t job_rate, int n, const fr2_rate_use *use, int64_t *shares) {
    auto even = [&] {
        for (int r = 0; r < n; r++) shares[r] = fr2_mpi_rate_even_share(job_rate, n, r);
    };
    int held = 0;
    for (int r = 0; r < n; r++) held += use[r].held;
    if (held == 0 || held == n) return even();
    int64_t floor = job_rate / (50 * int64_t(n));
    if (floor < 1) floor = 1;
    int64_t given = 0;
    for (int r = 0; r < n; r++) {
        if (use[r].held) continue;
        int64_t want = use[r].per_sec + use[r].per_sec / 4;
        shares[r] = want < floor ? floor : want > job_rate ? job_rate : want;
        given += shares[r];
    }
    int64_t rest = job_rate - given;
    if (rest < floor * held) return even();
    int first = 0;
    for (int r = 0; r < n; r++) {
        if (!use[r].held) continue;
        shares[r] = rest / held + (first++ < rest % held ? 1 : 0);
    }
}

void fr2_mpi_comm_rate(int64_t job_rate) {
    comm_state &c = g_comm;
    c.job_rate = job_rate;
    c.rate_at_ns = now_ns();
    c.next_rate_ns = c.rate_at_ns + RATE_PERIOD_NS;
    if (c.rank != 0 || job_rate <= 0) return;
    c.rate_use.assign(size_t(c.size), fr2_rate_use{0, false});
    c.rate_shares.assign(size_t(c.size), 0);
    fr2_rate_use none = {0, false};
    std::vector<fr2_rate_use> all(size_t(c.size), none);
    fr2_mpi_rate_shares(job_rate, c.size, all.data(), c.rate_shares.data());  // what each started with
}

void fr2_mpi_comm_checkpoints(const char *prefix, double every_sec, uint64_t generation) {
    comm_state &c = g_comm;
    c.ck_prefix = prefix;
    c.ck_every_ns = int64_t(every_sec * 1e9);
    c.next_ck_ns = now_ns() + c.ck_every_ns;
    c.ck_generation = generation;
}

void fr2_mpi_comm_catch_stops(void) { fr2_checkpoint_catch_stops(ck_signal_handler); }

fr2_mpi_end fr2_mpi_comm_run(void) {
    comm_state &c = g_comm;
    int idle = 0;
    while (!c.done && c.end == FR2_MPI_WALK_DONE) {
        int work = poll_messages(c);
        send_reports(c);
        test_sends(c);
        ck_take_signals(c);
        ck_maybe_start(c);
        ck_write_part(c);
        ck_maybe_commit(c);
        maybe_steal(c);
        handle_token(c);
        progress(c);
        rate_step(c);
        idle = work ? 0 : idle + 1;
        if (!work) idle_pause(idle);
    }
    // The walk is over everywhere: the hold goes, and with it the workers.
    // A stopped job leaves its workers paused.
    if (c.end == FR2_MPI_WALK_DONE) fr2_finish_directory();

    // Leave only when no message of this rank is in flight, then wait for
    // every rank to get there, answering whatever still comes.
    MPI_Request barrier = MPI_REQUEST_NULL;
    idle = 0;
    for (;;) {
        int work = poll_messages(c);
        test_sends(c);
        if (c.progress_out) {
            int flag = 0;
            MPI_Test(&c.progress_req, &flag, MPI_STATUS_IGNORE);
            if (flag) c.progress_out = false;
        }
        if (barrier == MPI_REQUEST_NULL) {
            if (!c.steal_out && c.sends.empty() && !c.progress_out)
                MPI_Ibarrier(MPI_COMM_WORLD, &barrier);
        } else {
            int flag = 0;
            MPI_Test(&barrier, &flag, MPI_STATUS_IGNORE);
            if (flag) break;
        }
        idle = work ? 0 : idle + 1;
        if (!work) idle_pause(idle);
    }
    return c.end;
}

fr2_outbuf *fr2_mpi_comm_output(void) { return g_comm.out; }

const fr2_mpi_stats *fr2_mpi_comm_stats(void) { return &g_comm.stats; }
