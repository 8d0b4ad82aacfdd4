// fsrake2: walks a directory tree with a pool of worker threads and writes one
// CSV line of metadata per file and directory.
//
// Files (src/; each module is a .h with its interface and a .cpp):
//   fsrake2.cpp     main
//   fr2.h, .cpp     the walk state the modules share, the lock map, program
//                   constants, cache-line aligned tables of per-worker records
//   fr2_run         one run: command line, root, summary; the start-up both
//                   programs share (descriptor limit, tables, workers, threads)
//   fr2_config      the command line as one read-only record; the exclude list
//   fr2_item        directory items: their life, and their one byte encoding
//                   (checkpoint files, messages between ranks)
//   fr2_queue       the directory queue, the end-of-walk count, the
//                   read-admission gate
//   fr2_walk        the worker record, the worker loop and its pipelines; puts
//                   the others together
//   fr2_dirent      open a directory, read getdents64 batches, parse the records
//   fr2_load        the load window of requests in flight, adapted to latency;
//                   the workers' leases of it; the entry rate cap
//   fr2_stat        "stat this batch": synchronous statx or the ring, and the choice
//   fr2_ring        the raw io_uring: set-up, one pass of statx requests, reaping
//   fr2_sys         the system calls of the walker, replaceable by tests
//   fr2_output      CSV lines, quoting, the workers' output buffers, the output:
//                   standard output or a file, plain or zstd frames
//   fr2_monitor     the workers' activity and work done, progress lines,
//                   watchdog, no-progress exit
//   fr2_chunk       big directories cut into chunks of names that any worker (or
//                   rank) stats; the directory's line once every part reported
//   fr2_pause       the pause a checkpoint takes: workers park, their slots
//   fr2_ckfile      the checkpoint file's bytes, checksum and format checks
//   fr2_replace     a small file replaced whole: write, fsync, rename, fsync folder
//   fr2_resume      --resume: the checks of a resume, the walk queued again
//   fr2_checkpoint  taking a checkpoint; stopping on SIGTERM and SIGINT
//
// Files (mpi/, fsrake2-mpi, built only where MPI is found):
//   fsrake2_mpi.cpp  main of one rank: options, shards, rank-prefixed
//                    messages, the job's checkpoint file, the job's summary
//   fr2_mpi_comm     the communication thread: work stealing, chunk reports,
//                    progress, the job's rate, coordinated checkpoints, the
//                    end-of-walk token, leaving without a message in flight
//   fr2_mpi_wire     message tags; lists of directory items as bytes
//
// Threads: main starts `threads` workers, the progress thread and the
// checkpoint thread, then joins the workers. A directory travels as an
// fr2_dir_item from the worker that found it through the FIFO queue to the
// worker that reads it; the walk ends when the last counted directory is
// finished. docs/structure.md describes the modules and who owns what.
#include "fr2_run.h"

int main(int argc, char **argv) { return fr2_main(argc, argv); }
