// Reading scans: plain or zstd inputs (told apart by the zstd magic number,
// whatever the name), a stream read by one thread, and a parallel parse of
// shards and of big plain files split at record boundaries.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "fr2r_csv.h"

// ---------------------------------------------------------------- bytes

// The bytes of one input: as they are, or decompressed when they begin with
// the zstd magic number. Works on pipes (nothing is read twice).
struct fr2r_source;
// Wraps an open stream; fr2r_source_close does not close it.
fr2r_source *fr2r_source_open(FILE *f);
// Reads up to cap bytes of CSV; returns the count, 0 at the end, or -1 on a
// read error or bad compressed data (fr2r_source_error says which).
ssize_t fr2r_source_read(fr2r_source *s, char *buf, size_t cap);
// Bytes taken from the stream itself (compressed bytes for zstd): the
// measure of progress against the file's size.
int64_t fr2r_source_raw_bytes(const fr2r_source *s);
bool fr2r_source_compressed(const fr2r_source *s);
// Why the last read failed ("read error: ...", "corrupt zstd data: ..."); "" if it did not.
const char *fr2r_source_error(const fr2r_source *s);
void fr2r_source_close(fr2r_source *s);

// ---------------------------------------------------------------- records

// One record of an input, or one malformed line. line is the record's first
// line in its file, counting the header line as line 1.
struct fr2r_record {
    bool bad = false;   // malformed: why says what is wrong, e is not valid
    uint32_t file = 0;  // index into the inputs given
    int64_t line = 0;
    int64_t through = 0;  // bytes of the file on disk behind it: progress
    fr2r_entry e;
    std::string why;
};

// Called on the parsing thread of part `part` for each record, in file order
// within the part; parts cover the inputs in order (part 0 first). Several
// parts run at once, each on one thread. Return false to stop the whole read.
typedef bool (*fr2r_record_fn)(void *ctx, int part, const fr2r_record &r);

struct fr2r_reader {
    fr2r_record_fn record = nullptr;
    // Optional: called once before any record with the number of parts, so
    // that per-part state can be made ready.
    void (*begin)(void *ctx, int parts) = nullptr;
    // Optional: everything delivered so far is void and the inputs are read
    // again from the start as one part. It happens only when malformed lines
    // (a stray quote) hid where records begin at a split point; without this
    // hook the read then fails with a message.
    void (*restart)(void *ctx) = nullptr;
    void *ctx = nullptr;
};

// What was read, per input and in total. Filled by the read functions.
struct fr2r_input_info {
    std::string name;    // as given; "stdin" for "-"
    int64_t size = -1;   // a regular file's size on disk
    int64_t mtime = -1;  // and its modification time
    bool compressed = false;
    bool header = false;  // it began with the header line
};

struct fr2r_read_result {
    std::vector<fr2r_input_info> files;
    int parts = 0;
    int64_t records = 0;   // well-formed records delivered
    int64_t bad = 0;       // malformed lines delivered
    int64_t bytes = 0;     // CSV bytes parsed (after decompression)
    bool stopped = false;  // the callback asked to stop
};

// Reads files ("-" is standard input) with up to `threads` threads: several
// files one part each; a big plain file alone split into `threads` parts at
// record boundaries; a compressed file or a pipe is one part. Returns 0; or
// -1 after one line on standard error per input that could not be opened or
// read ("NAME: read error, nothing loaded"), the read then stops.
int fr2r_read_parallel(const std::vector<std::string> &files, int threads, const fr2r_reader &rd,
                       fr2r_read_result *res);
// The same for streams the caller has opened (and closes): names are for
// messages, "stdin" for standard input.
int fr2r_read_parallel_streams(const std::vector<FILE *> &streams,
                               const std::vector<std::string> &names, int threads,
                               const fr2r_reader &rd, fr2r_read_result *res);
// Reads an open stream (the scanner's pipe) on the calling thread as part 0;
// name is for messages. Returns as fr2r_read_parallel.
int fr2r_read_stream(FILE *f, const std::string &name, const fr2r_reader &rd,
                     fr2r_read_result *res);

// ---------------------------------------------------------------- malformed lines

// Malformed-line messages in input order whichever thread found them: each
// part keeps its own list, and the lists are printed in part order after the
// read: "NAME:LINE: why" for the first max_messages, then one line that only
// the count follows.
struct fr2r_bad_lines {
    int64_t count = 0;
    std::vector<fr2r_record> first;  // e unused; at most max_messages + 1 kept
};
void fr2r_bad_add(fr2r_bad_lines *b, int max_messages, uint32_t file, int64_t line,
                  const std::string &why);
// Returns the total count.
int64_t fr2r_bad_print(const std::vector<fr2r_bad_lines> &parts,
                       const std::vector<fr2r_input_info> &files, int max_messages);
