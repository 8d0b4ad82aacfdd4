// The communication thread of one rank of a multi-node walk: work stealing
// between ranks, end-of-walk detection, chunk reports, global progress.
#pragma once

#include <stdint.h>

#include "fr2_output.h"

// What one rank counted about its traffic; gathered for --mpi-stats.
struct fr2_mpi_stats {
    int64_t steal_requests;   // requests this rank sent
    int64_t steals_won;       // replies that brought items
    int64_t items_received;   // directory and chunk items stolen from others
    int64_t items_given;      // items others stole from here
    int64_t messages_sent;    // every message of this rank
    int64_t bytes_sent;
    int64_t chunk_reports;    // chunk reports sent to other ranks
    int64_t token_passes;     // end-of-walk token forwarded
};
static const int FR2_MPI_STATS_FIELDS = 8;

// Sets up the rank's state; called on the thread that initialised MPI, which
// then becomes the communication thread. `hold` is the unit the rank keeps in
// dirs_pending while the job runs, so that a rank without work never ends
// its own walk: only the end of every rank's walk releases it.
void fr2_mpi_comm_init(int rank, int size, int64_t start_time);
// Whether this rank holds work beyond its hold: the monitor's "has work"
// hook (a rank that waits for the others is not stalled).
bool fr2_mpi_comm_has_work(void);

// The job's checkpoint file PREFIX: one line naming the ranks and the
// generation whose parts PREFIX.<rank>.ck<generation % 2> hold the state.
#define FR2_MPI_CK_FORMAT "fsrake2-mpi checkpoint 1: %d ranks, generation %llu\n"

// Coordinated checkpoints to PREFIX every `every_sec` seconds (rank 0 times
// them), continuing from `generation` (0 for a new walk).
void fr2_mpi_comm_checkpoints(const char *prefix, double every_sec, uint64_t generation);
// SIGTERM and SIGINT stop the job at its next consistent point.
void fr2_mpi_comm_catch_stops(void);

// What one rank's walk did under its share of the job's entry rate in the
// last period.
struct fr2_rate_use {
    int64_t per_sec;  // entries listed per second
    bool held;        // some batch waited for its turn: the share held it back
};
// Splits the job's rate over n ranks. A rank that the cap did not hold back
// gets what it used and a quarter more, at least a fiftieth of an even
// share (so that a rank that finds work can start); the ranks held back
// share the rest evenly. Even shares when all or none are held back, or when
// the rest would not give each of them that floor. Each share is at least 1.
void fr2_mpi_rate_shares(int64_t job_rate, int n, const fr2_rate_use *use, int64_t *shares);
// Rank r's even share of the job's rate over n ranks: what each starts with
// (0: no cap).
int64_t fr2_mpi_rate_even_share(int64_t job_rate, int n, int r);
// The job's rate cap (0: none): rank 0 shares it out anew every period.
void fr2_mpi_comm_rate(int64_t job_rate);

enum fr2_mpi_end {
    FR2_MPI_WALK_DONE,        // every rank's walk is over
    FR2_MPI_STOPPED,          // stopped by a signal; the checkpoint holds the rest
    FR2_MPI_STOPPED_UNSAVED,  // stopped by a signal without a checkpoint
};

// Serves steals, reports, checkpoints and the end-of-walk token until every
// rank's walk is over (or the job is stopped) and no message is left in
// flight; releases the hold on the way (which ends this rank's workers).
// Never blocks in MPI: it polls.
fr2_mpi_end fr2_mpi_comm_run(void);

// The output record that lines of big directories finished by a remote
// report are written into (flushed by the caller after the workers ended).
fr2_outbuf *fr2_mpi_comm_output(void);

const fr2_mpi_stats *fr2_mpi_comm_stats(void);
