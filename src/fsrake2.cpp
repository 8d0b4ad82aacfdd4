// fsrake2: walks a directory tree with a pool of worker threads and writes one
// CSV line of metadata per file and directory.
//
// Files (src/):
//   fsrake2.cpp    main
//   fr2.h          the walk state the modules share, lock order, program constants
//   fr2_run        one run: command line, root, workers and progress thread, summary
//   fr2_config     the command line as one read-only record; the exclude list
//   fr2_queue      directory items, the directory queue, the end-of-walk count,
//                  the read-admission gate
//   fr2_walk       the worker loop and its pipelines; puts the others together
//   fr2_dirent     open a directory, read getdents64 batches, parse the records
//   fr2_load       the load window of requests in flight, adapted to latency;
//                  the workers' leases of it; the entry rate cap
//   fr2_stat       "stat this batch": synchronous statx or the ring, and the choice
//   fr2_ring       the raw io_uring: set-up, one pass of statx requests, reaping
//   fr2_sys        the system calls of the walker, replaceable by tests
//   fr2_output     CSV lines, quoting, per-worker output buffers, the output:
//                  standard output or a file, plain or zstd frames
//   fr2_monitor    worker activity, progress lines, watchdog, no-progress exit
//   fr2_chunk      big directories cut into chunks of names that any worker (or
//                  rank) stats; the directory's line once every part reported
//   fr2_checkpoint checkpoints of the walk's state, --resume, stopping on
//                  SIGTERM and SIGINT
//
// Files (mpi/, fsrake2-mpi, built only where MPI is found):
//   fsrake2_mpi.cpp  main of one rank: shards, rank-prefixed messages, root,
//                    workers, watchdog, the job's summary
//   fr2_mpi_comm     the communication thread: work stealing, chunk reports,
//                    progress, the end-of-walk token, leaving without a message
//                    in flight
//   fr2_mpi_wire     directory items and chunks as bytes between ranks
//
// Threads: main starts `threads` workers and one progress thread, then joins
// the workers. A directory travels as an fr2_dir_item from the worker that
// found it through the FIFO queue to the worker that reads it; the walk ends
// when the last counted directory is finished.
#include "fr2_run.h"

int main(int argc, char **argv) { return fr2_main(argc, argv); }
