// Loading one scan in one transaction, in four steps: open the inputs;
// begin (the transaction and the scan's row); stream the lines (parsed, and
// stored as rows or summed into a rollup); record the scan (what only the
// whole scan decides, its summary, the scanner's messages, its input files)
// and commit. Whole and rollup loads differ only in what the stream does
// with a line and in what is left to store at its end.
#include "fr2r_load.h"

#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "fr2r_db.h"
#include "fr2r_escape.h"
#include "fr2r_input.h"
#include "fr2r_rollup.h"

namespace {

// Made after the rows of a first scan are in (faster than keeping them up
// to date row by row), and kept up to date for the scans after it.
const char *const k_indexes =
    "CREATE INDEX IF NOT EXISTS entries_parent ON entries(scan, dev, parent_inode);"
    "CREATE INDEX IF NOT EXISTS entries_inode ON entries(scan, dev, inode);";

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// The progress bar: a bar and percentage when the input size is known,
// otherwise the line count and rate. Redrawn at most five times a second.
struct progress {
    bool on = false;
    int64_t total = -1;
    double start = 0;
    double last = 0;
    bool drawn = false;
};

void progress_draw(progress *p, int64_t bytes, int64_t lines, bool final) {
    double t = now_seconds();
    if (!final && t - p->last < 0.2) return;
    p->last = t;
    double el = t - p->start;
    double rate = el > 0 ? lines / el : 0;
    char buf[256];
    if (p->total > 0) {
        double frac = (double)bytes / (double)p->total;
        if (frac > 1) frac = 1;
        char bar[41];
        int fill = (int)(frac * 40);
        for (int i = 0; i < 40; i++) bar[i] = i < fill ? '#' : '.';
        bar[40] = 0;
        snprintf(buf, sizeof buf, "\r[%s] %5.1f%%  %" PRId64 " lines  %.0f lines/s ", bar,
                 frac * 100, lines, rate);
    } else {
        snprintf(buf, sizeof buf, "\rloading: %" PRId64 " lines  %.0f lines/s ", lines, rate);
    }
    fputs(buf, stderr);
    if (final) fputs("\n", stderr);
    fflush(stderr);
    p->drawn = true;
}

// The lowest path of an inode in a scan is credited with the file; its other
// links are marked dup. Lowest by bytes, so every load of the same tree picks
// the same link whatever order the scanner wrote them in.
const char *const k_mark_dups =
    "UPDATE entries SET dup = 1 WHERE rowid BETWEEN ?1 AND ?2 AND nlink > 1 AND is_dir = 0 "
    "AND EXISTS (SELECT 1 FROM entries o WHERE o.scan = ?3 AND o.dev = entries.dev AND "
    "o.inode = entries.inode AND o.is_dir = 0 AND (o.path < entries.path OR "
    "(o.path = entries.path AND o.rowid < entries.rowid)))";

// ---------------------------------------------------------------- the inputs

struct input_file {
    std::string name;  // as given; "stdin" for standard input
    FILE *f = nullptr;
    bool owned = false;  // ours to close
    int64_t size = -1;   // a regular file's size
    int64_t mtime = -1;
};

std::string base_name(const std::string &p) {
    size_t k = p.rfind('/');
    return k == std::string::npos ? p : p.substr(k + 1);
}

// Parts of one scan (PREFIX.0.csv, PREFIX.1.csv, ...) are labelled with what
// their names share: PREFIX.*.csv.
std::string label_of(const std::vector<input_file> &in) {
    std::string first = base_name(in[0].name);
    if (in.size() == 1) return first;
    size_t pre = first.size(), suf = first.size();
    for (const auto &x : in) {
        std::string b = base_name(x.name);
        size_t k = 0;
        while (k < pre && k < b.size() && b[k] == first[k]) k++;
        pre = k;
        k = 0;
        while (k < suf && k < b.size() && b[b.size() - 1 - k] == first[first.size() - 1 - k]) k++;
        suf = k;
    }
    if (pre + suf > first.size()) suf = first.size() - pre;
    return first.substr(0, pre) + "*" + first.substr(first.size() - suf);
}

// One load, from its inputs to its commit.
struct loader {
    sqlite3 *db;
    const fr2r_load_options *opt;
    double t0 = 0;
    // Opened: the inputs, the scanner's saved messages, and what they tell.
    std::vector<input_file> in;
    fr2r_messages msgs;
    int64_t scan_time = 0;
    std::string label;
    std::string source;  // every input's name
    progress prog;
    // Begun: the scan's row.
    int64_t scan = 0;
    // Streamed: a whole load's INSERT of a row per line, and what the lines told.
    fr2r_stmt ins;
    const char *reading = nullptr;  // the input being read, for messages
    uint32_t input = 0;             // and its index
    int64_t bad = 0;
    int64_t lines = 0;
    int64_t roots = 0;
    std::string root;
    std::string root_source;
    int64_t root_line = 0;
    int64_t first_row = 0, last_row = -1;
    bool failed = false;    // a database or read failure: stop at once
    bool reported = false;  // why nothing was loaded has been said
    int64_t headers = 0;    // inputs that began with the header line
    // A rollup load: lines are summed, not stored, each input in a part of
    // its own (as parsing threads would), the parts merged in input order.
    std::vector<fr2r_rollup *> parts;
};

bool is_root_line(const fr2r_entry &e) {
    return (e.mode & 0170000) == 0040000 && e.depth == -1 && e.parent_inode == 0;
}

// ---------------------------------------------------------------- a line

void bad_line(loader *L, int64_t line, const std::string &why) {
    L->bad++;
    if (L->bad <= L->opt->max_messages) {
        fprintf(stderr, "fsrake2-report: %s:%" PRId64 ": %s\n", L->reading, line, why.c_str());
    } else if (L->bad == L->opt->max_messages + 1) {
        fprintf(stderr, "fsrake2-report: %s: more malformed lines; only counting them now\n",
                L->reading);
    }
}

// One well-formed line: a row of the scan, or summed into the part of its
// input.
void store(loader *L, const fr2r_entry &e, int64_t line) {
    bool is_dir = (e.mode & 0170000) == 0040000;
    if (is_root_line(e)) {
        if (++L->roots > 1) {
            bad_line(L, line,
                     "a second root directory line (" + L->root_source + ":" +
                         std::to_string(L->root_line) + " was the first): two scans in one input?");
            return;
        }
        L->root = e.path;
        L->root_source = L->reading;
        L->root_line = line;
    }
    // Once a line is bad (and bad lines are not skipped) the scan will be
    // rolled back: keep checking the rest, but store nothing more.
    if (L->bad > 0 && !L->opt->skip_bad) return;
    if (L->opt->rollup) {
        while (L->parts.size() <= L->input)
            L->parts.push_back(fr2r_rollup_new(L->scan_time, L->opt->keep_files));
        fr2r_rollup_add(L->parts[L->input], e, L->input, line);
        L->lines++;
        return;
    }
    sqlite3_stmt *st = L->ins;
    sqlite3_bind_int64(st, 1, L->scan);
    sqlite3_bind_int64(st, 2, (int64_t)e.inode);
    sqlite3_bind_int64(st, 3, (int64_t)e.parent_inode);
    sqlite3_bind_int64(st, 4, e.depth);
    sqlite3_bind_blob(st, 5, e.path.data(), (int)e.path.size(), SQLITE_STATIC);
    sqlite3_bind_blob(st, 6, e.extension.data(), (int)e.extension.size(), SQLITE_STATIC);
    sqlite3_bind_int64(st, 7, e.uid);
    sqlite3_bind_int64(st, 8, e.gid);
    sqlite3_bind_int64(st, 9, e.size);
    sqlite3_bind_int64(st, 10, (int64_t)e.dev);
    sqlite3_bind_int64(st, 11, (int64_t)e.blocks);
    sqlite3_bind_int64(st, 12, e.nlink);
    sqlite3_bind_int64(st, 13, e.mode);
    sqlite3_bind_int64(st, 14, e.atime);
    sqlite3_bind_int64(st, 15, e.mtime);
    sqlite3_bind_int64(st, 16, e.ctime);
    sqlite3_bind_int64(st, 17, e.fcount);
    sqlite3_bind_int64(st, 18, e.dirsum);
    sqlite3_bind_int64(st, 19, is_dir ? 1 : 0);
    if (sqlite3_step(st) != SQLITE_DONE) {
        fr2r_db_error(L->db, "storing a line");
        L->failed = true;
    }
    sqlite3_reset(st);
    int64_t row = sqlite3_last_insert_rowid(L->db);
    if (L->lines == 0) L->first_row = row;
    L->last_row = row;
    L->lines++;
}

// ---------------------------------------------------------------- the reading thread

// Reading and parsing run in a thread of their own, a batch of records
// ahead of the thread that stores them: the two halves of a load take about
// the same time, and the machine has two cores.
struct event {
    bool bad = false;  // a malformed line (why), else a record (e)
    size_t input = 0;
    int64_t line = 0;
    fr2r_entry e;
    std::string why;
};

struct batch {
    std::vector<event> ev;
    size_t n = 0;
    int64_t consumed = 0;  // input bytes behind it, all inputs so far
};

enum { k_batch = 4096, k_slots = 3 };

struct reader {
    std::vector<input_file> *in = nullptr;
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    batch slots[k_slots];
    int head = 0, count = 0;
    bool done = false, stop = false;
    // The reader's own, read by the storing side after the join.
    std::vector<bool> read_error;
    int64_t headers = 0;
    batch cur;
};

// Hands the filled batch over; false when the storing side has given up.
bool publish(reader *R) {
    pthread_mutex_lock(&R->mu);
    while (R->count == k_slots && !R->stop) pthread_cond_wait(&R->cv, &R->mu);
    bool go = !R->stop;
    if (go) {
        std::swap(R->cur, R->slots[(R->head + R->count) % k_slots]);
        R->count++;
        pthread_cond_broadcast(&R->cv);
    }
    pthread_mutex_unlock(&R->mu);
    R->cur.n = 0;
    return go;
}

event &next_event(reader *R) {
    if (R->cur.ev.size() <= R->cur.n) R->cur.ev.resize(R->cur.n + 1);
    return R->cur.ev[R->cur.n++];
}

// One input's records into batches, with the input's index and the bytes
// behind them for the progress bar.
struct input_ctx {
    reader *R;
    size_t idx;
    int64_t base;  // bytes of the inputs before this one
};

bool take_record(void *ctx, int, const fr2r_record &r) {
    input_ctx *c = (input_ctx *)ctx;
    reader *R = c->R;
    event &ev = next_event(R);
    ev.bad = r.bad;
    ev.input = c->idx;
    ev.line = r.line;
    if (r.bad)
        ev.why = r.why;
    else
        ev.e = r.e;
    R->cur.consumed = c->base + r.through;
    return R->cur.n < k_batch || publish(R);
}

// Reads one input's records (plain or compressed). Returns false when the
// storing side has given up.
bool read_input(reader *R, size_t idx) {
    input_file &in = (*R->in)[idx];
    input_ctx c = {R, idx, R->cur.consumed};
    fr2r_reader rd;
    rd.record = take_record;
    rd.ctx = &c;
    fr2r_read_result res;
    if (fr2r_read_stream(in.f, in.name, rd, &res) != 0) R->read_error[idx] = true;
    if (!res.files.empty() && res.files[0].header) R->headers++;
    return !res.stopped;
}

void *reader_main(void *p) {
    reader *R = (reader *)p;
    for (size_t i = 0; i < R->in->size(); i++)
        if (!read_input(R, i)) break;
    if (R->cur.n > 0) publish(R);
    pthread_mutex_lock(&R->mu);
    R->done = true;
    pthread_cond_broadcast(&R->cv);
    pthread_mutex_unlock(&R->mu);
    return nullptr;
}

// The next batch from the reader into *b; false at the end.
bool take(reader *R, batch *b) {
    pthread_mutex_lock(&R->mu);
    while (R->count == 0 && !R->done) pthread_cond_wait(&R->cv, &R->mu);
    bool got = R->count > 0;
    if (got) {
        std::swap(*b, R->slots[R->head]);
        R->head = (R->head + 1) % k_slots;
        R->count--;
        pthread_cond_broadcast(&R->cv);
    }
    pthread_mutex_unlock(&R->mu);
    return got;
}

void stop_reader(reader *R) {
    pthread_mutex_lock(&R->mu);
    R->stop = true;
    pthread_cond_broadcast(&R->cv);
    pthread_mutex_unlock(&R->mu);
}

// Stores what the reader parsed, in order. Returns false on a read error.
bool load_inputs(loader *L, int64_t *consumed) {
    std::vector<input_file> &in = L->in;
    progress *prog = &L->prog;
    reader R;
    R.in = &in;
    R.read_error.assign(in.size(), false);
    pthread_t th;
    if (pthread_create(&th, nullptr, reader_main, &R) != 0) {
        fprintf(stderr, "fsrake2-report: cannot start the reading thread\n");
        L->failed = true;
        return true;
    }
    batch b;
    int64_t since_draw = 0;
    while (take(&R, &b)) {
        for (size_t k = 0; k < b.n && !L->failed; k++) {
            event &ev = b.ev[k];
            L->reading = in[ev.input].name.c_str();
            L->input = (uint32_t)ev.input;
            if (ev.bad)
                bad_line(L, ev.line, ev.why);
            else
                store(L, ev.e, ev.line);
        }
        *consumed = b.consumed;
        if (L->failed) {
            stop_reader(&R);
            break;
        }
        if (prog->on && (since_draw += (int64_t)b.n) >= 4096) {
            since_draw = 0;
            progress_draw(prog, *consumed, L->lines, false);
        }
    }
    pthread_join(th, nullptr);
    L->headers = R.headers;
    // The reading side has said what went wrong.
    for (size_t i = 0; i < in.size(); i++)
        if (R.read_error[i]) return false;
    return true;
}

// ---------------------------------------------------------------- a rollup read in parallel

// A rollup load of files: the inputs are parsed by several threads (the
// shards one per thread, one big file split at record boundaries), each part
// summed on its own thread into a rollup of its own; the parts are merged in
// input order once the read is over.
struct rollup_part {
    fr2r_rollup *sums = nullptr;
    fr2r_bad_lines bad;
    int64_t lines = 0;
    // The scan's root line is the first of part 0; any other root line
    // (a second scan in the input, or a root in a later part) is judged
    // after the read, when what came before it is known.
    bool root = false;
    fr2r_record root_line;  // its entry unused
    std::vector<fr2r_record> held_roots;
    int64_t through = -1;  // the bytes behind the last record, for progress
    int64_t unshown_lines = 0, unshown_bytes = 0;
};

struct rollup_read {
    const fr2r_load_options *opt;
    int64_t scan_time;
    std::vector<rollup_part> parts;
    // Without --skip-bad a malformed line fails the load: the parts keep
    // reading to report every malformed line, but sum nothing more.
    std::atomic<bool> bad_seen{false};
    progress *prog;
    std::atomic<int64_t> lines{0}, bytes{0};
    pthread_mutex_t draw = PTHREAD_MUTEX_INITIALIZER;  // prog belongs to its holder
};

void rollup_parts_reset(rollup_read *R, size_t n) {
    for (auto &p : R->parts) fr2r_rollup_free(p.sums);
    R->parts.clear();
    R->parts.resize(n);
    for (auto &p : R->parts) p.sums = fr2r_rollup_new(R->scan_time, R->opt->keep_files);
    R->bad_seen.store(false, std::memory_order_relaxed);
    R->lines.store(0, std::memory_order_relaxed);
    R->bytes.store(0, std::memory_order_relaxed);
}

void rollup_begin(void *ctx, int parts) {
    rollup_read *R = (rollup_read *)ctx;
    rollup_parts_reset(R, (size_t)parts);
}

// Everything summed so far is void: the input is read again as one part.
void rollup_restart(void *ctx) {
    rollup_read *R = (rollup_read *)ctx;
    rollup_parts_reset(R, R->parts.size());
}

void rollup_progress(rollup_read *R, rollup_part *p) {
    int64_t lines = R->lines.fetch_add(p->unshown_lines, std::memory_order_relaxed);
    int64_t bytes = R->bytes.fetch_add(p->unshown_bytes, std::memory_order_relaxed);
    lines += p->unshown_lines;
    bytes += p->unshown_bytes;
    p->unshown_lines = p->unshown_bytes = 0;
    if (pthread_mutex_trylock(&R->draw) != 0) return;  // another part is drawing
    progress_draw(R->prog, bytes, lines, false);
    pthread_mutex_unlock(&R->draw);
}

bool rollup_record(void *ctx, int part, const fr2r_record &r) {
    rollup_read *R = (rollup_read *)ctx;
    rollup_part &p = R->parts[(size_t)part];
    if (r.bad) {
        fr2r_bad_add(&p.bad, R->opt->max_messages, r.file, r.line, r.why);
        if (!R->opt->skip_bad) R->bad_seen.store(true, std::memory_order_relaxed);
    } else if (is_root_line(r.e) && (part != 0 || p.root)) {
        p.held_roots.push_back(r);
    } else if (R->opt->skip_bad || !R->bad_seen.load(std::memory_order_relaxed)) {
        if (is_root_line(r.e)) {
            p.root = true;
            p.root_line.file = r.file;
            p.root_line.line = r.line;
            p.root_line.e.path = r.e.path;
        }
        fr2r_rollup_add(p.sums, r.e, r.file, r.line);
        p.lines++;
    }
    if (R->prog->on) {
        if (p.through >= 0 && r.through > p.through) p.unshown_bytes += r.through - p.through;
        p.through = r.through;
        if (++p.unshown_lines >= 4096) rollup_progress(R, &p);
    }
    return true;
}

// Keeps a malformed line in its part's list in line order.
void bad_insert(fr2r_bad_lines *b, int max_messages, const fr2r_record &r, const std::string &why) {
    auto &v = b->first;
    size_t kept = v.size();
    fr2r_bad_add(b, max_messages, r.file, r.line, why);
    if (v.size() == kept) return;  // past the messages: only counted
    std::rotate(std::upper_bound(v.begin(), v.end() - 1, v.back(),
                                 [](const fr2r_record &a, const fr2r_record &x) {
                                     return a.file != x.file ? a.file < x.file : a.line < x.line;
                                 }),
                v.end() - 1, v.end());
}

// Reads the inputs in parallel into L->parts, in part order; the malformed
// lines are reported once the read is over, in input order. Returns false on a
// read error (already reported).
bool load_rollup_parallel(loader *L, int64_t *consumed) {
    std::vector<input_file> &in = L->in;
    rollup_read R;
    R.opt = L->opt;
    R.scan_time = L->scan_time;
    R.prog = &L->prog;
    fr2r_reader rd;
    rd.record = rollup_record;
    rd.begin = rollup_begin;
    rd.restart = rollup_restart;
    rd.ctx = &R;
    std::vector<FILE *> streams;
    std::vector<std::string> names;
    for (const auto &x : in) {
        streams.push_back(x.f);
        names.push_back(x.name);
    }
    int threads = L->opt->threads;
    if (threads <= 0) threads = (int)sysconf(_SC_NPROCESSORS_ONLN);
    if (threads <= 0) threads = 1;
    fr2r_read_result res;
    bool ok = fr2r_read_parallel_streams(streams, names, threads, rd, &res) == 0;
    for (const auto &f : res.files) L->headers += f.header;
    *consumed = 0;
    for (const auto &x : in) *consumed += x.size > 0 ? x.size : 0;
    // The root lines held back, in input order: the first root of the scan,
    // if part 0 had none, is summed in its own part; every later one is a
    // malformed line.
    for (size_t i = 0; ok && i < R.parts.size(); i++) {
        rollup_part &p = R.parts[i];
        if (p.root) {
            L->roots++;
            L->root = p.root_line.e.path;
            L->root_source = in[p.root_line.file].name;
            L->root_line = p.root_line.line;
        }
        for (const fr2r_record &h : p.held_roots) {
            if (++L->roots == 1) {
                L->root = h.e.path;
                L->root_source = in[h.file].name;
                L->root_line = h.line;
                if (L->opt->skip_bad || !R.bad_seen.load(std::memory_order_relaxed)) {
                    fr2r_rollup_add(p.sums, h.e, h.file, h.line);
                    p.lines++;
                }
                continue;
            }
            bad_insert(&p.bad, L->opt->max_messages, h,
                       "a second root directory line (" + L->root_source + ":" +
                           std::to_string(L->root_line) +
                           " was the first): two scans in one input?");
        }
    }
    std::vector<fr2r_bad_lines> bad;
    for (auto &p : R.parts) {
        L->lines += p.lines;
        L->parts.push_back(p.sums);
        p.sums = nullptr;
        bad.push_back(std::move(p.bad));
    }
    L->bad += fr2r_bad_print(bad, res.files, L->opt->max_messages);
    pthread_mutex_destroy(&R.draw);
    return ok;
}

// ---------------------------------------------------------------- open the inputs

void close_inputs(loader *L) {
    for (auto &x : L->in)
        if (x.owned && x.f) fclose(x.f);
    L->in.clear();
}

// Opens the inputs (or takes the scanner's stream) and reads the scanner's
// saved messages; works out the scan's time, label and source and readies
// the progress bar. false after a message.
bool open_inputs(loader *L, const std::vector<std::string> &inputs) {
    const fr2r_load_options &opt = *L->opt;
    bool ok = true;
    if (opt.stream) {
        input_file x;
        x.name = opt.stream_name;
        x.f = opt.stream;
        L->in.push_back(x);
    }
    int stdin_uses = 0;
    for (const auto &name : inputs) {
        input_file x;
        if (name == "-") {
            x.name = "stdin";
            x.f = stdin;
            stdin_uses++;
        } else {
            x.name = name;
            x.f = fopen(name.c_str(), "rb");
            x.owned = true;
            if (!x.f) {
                fprintf(stderr, "fsrake2-report: cannot open %s: %s\n", name.c_str(),
                        strerror(errno));
                ok = false;
                continue;
            }
        }
        struct stat st;
        if (fstat(fileno(x.f), &st) == 0 && S_ISREG(st.st_mode) && x.owned) {
            x.size = st.st_size;
            x.mtime = st.st_mtime;
        }
        L->in.push_back(x);
    }
    if (stdin_uses > 1) {
        fprintf(stderr, "fsrake2-report: standard input ('-') can be read only once\n");
        ok = false;
    }
    if (ok && !opt.messages.empty() && fr2r_messages_read_all(opt.messages, &L->msgs) != 0)
        ok = false;
    if (!ok || L->in.empty()) return false;

    L->scan_time = opt.scan_time;
    int64_t total = 0;
    for (const auto &x : L->in) {
        if (x.size < 0)
            total = -1;
        else if (total >= 0)
            total += x.size;
        if (opt.scan_time < 0 && x.mtime > L->scan_time) L->scan_time = x.mtime;
    }
    if (L->scan_time < 0) L->scan_time = (int64_t)time(nullptr);
    L->prog.on = opt.progress > 0 || (opt.progress < 0 && isatty(2));
    L->prog.total = total;
    L->prog.start = L->prog.last = L->t0;
    L->reading = L->in[0].name.c_str();
    L->label = opt.label.empty() ? label_of(L->in) : opt.label;
    for (const auto &x : L->in) L->source += (L->source.empty() ? "" : " ") + x.name;
    return true;
}

// ---------------------------------------------------------------- begin

bool bind_text(sqlite3_stmt *s, int i, const std::string &v) {
    return sqlite3_bind_text(s, i, v.data(), (int)v.size(), SQLITE_TRANSIENT) == SQLITE_OK;
}

// The same file loaded again: worth a word, since the scans will look alike.
bool warn_loaded_before(loader *L) {
    fr2r_stmt s =
        fr2r_prepare(L->db, "SELECT f.scan, s.label FROM scan_files f JOIN scans s ON s.id = "
                            "f.scan WHERE f.name = ?1 AND f.size = ?2 AND f.mtime = ?3 LIMIT 1");
    if (!s) {
        fr2r_db_error(L->db, "preparing the load");
        return false;
    }
    for (const auto &x : L->in) {
        if (x.size < 0) continue;
        bind_text(s, 1, base_name(x.name));
        sqlite3_bind_int64(s, 2, x.size);
        sqlite3_bind_int64(s, 3, x.mtime);
        if (sqlite3_step(s) == SQLITE_ROW)
            fprintf(stderr,
                    "fsrake2-report: warning: %s (same name, size and modification "
                    "time) was loaded before, as scan %lld \"%s\"; loading it again "
                    "as a new scan\n",
                    x.name.c_str(), (long long)sqlite3_column_int64(s, 0),
                    fr2r_term_escape((const char *)sqlite3_column_text(s, 1)).c_str());
        sqlite3_reset(s);
    }
    return true;
}

// A database without rows gets its indexes after the load's rows are in.
bool drop_indexes_if_empty(loader *L) {
    bool empty = true;
    {
        fr2r_stmt s = fr2r_prepare(L->db, "SELECT 1 FROM entries LIMIT 1");
        if (s) empty = sqlite3_step(s) != SQLITE_ROW;
    }
    return !empty || fr2r_db_exec(L->db,
                                  "DROP INDEX IF EXISTS entries_parent; DROP INDEX IF EXISTS "
                                  "entries_inode",
                                  "preparing the load");
}

bool add_scan_row(loader *L) {
    fr2r_stmt s =
        fr2r_prepare(L->db, "INSERT INTO scans(label, scan_time, loaded_at, source, lines, "
                            "skipped, first_row, last_row) VALUES(?1, ?2, ?3, ?4, 0, 0, 0, -1)");
    bool ok = s;
    if (ok) {
        bind_text(s, 1, L->label);
        sqlite3_bind_int64(s, 2, L->scan_time);
        sqlite3_bind_int64(s, 3, (int64_t)time(nullptr));
        bind_text(s, 4, L->source);
        ok = sqlite3_step(s) == SQLITE_DONE;
    }
    if (!ok) fr2r_db_error(L->db, "adding the scan");
    L->scan = sqlite3_last_insert_rowid(L->db);
    return ok;
}

// Starts the transaction: false when it could not (after a message). What
// fails after that sets L->failed, and the load is rolled back at its end.
bool begin_scan(loader *L) {
    if (!fr2r_db_exec(L->db, "BEGIN IMMEDIATE", "starting to write")) return false;
    if (!warn_loaded_before(L) || !drop_indexes_if_empty(L) || !add_scan_row(L)) L->failed = true;
    return true;
}

// ---------------------------------------------------------------- stream

// Reads every line: stored as a row, or summed into the rollup's parts.
// Then waits for a running scanner. Sets L->failed on a failure.
void stream_lines(loader *L) {
    const fr2r_load_options &opt = *L->opt;
    if (!L->failed && !opt.rollup) {
        L->ins = fr2r_prepare(L->db, "INSERT INTO entries(scan, inode, parent_inode, depth, path, "
                                     "extension, uid, gid, size, dev, blocks, nlink, mode, atime, "
                                     "mtime, ctime, fcount, dirsum, is_dir) VALUES(?1, ?2, ?3, ?4, "
                                     "?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, "
                                     "?18, ?19)");
        if (!L->ins) {
            fr2r_db_error(L->db, "preparing the load");
            L->failed = true;
        }
    }
    int64_t consumed = 0;
    bool read_error = false;
    // The scanner's pipe is read as it comes, on one thread.
    if (!L->failed && !(opt.rollup && !opt.stream ? load_rollup_parallel(L, &consumed)
                                                  : load_inputs(L, &consumed)))
        read_error = true;
    if (L->prog.on) progress_draw(&L->prog, consumed, L->lines, true);
    L->ins = fr2r_stmt();
    // A running scanner: wait for it and take what it said.
    if (opt.finish) opt.finish(opt.finish_ctx, &L->msgs);
    if (read_error) L->failed = true;
    if (!L->failed && L->lines == 0 && L->bad == 0) {
        fprintf(stderr, "fsrake2-report: %s: no data lines (%s), nothing loaded\n",
                L->source.c_str(), L->headers > 0 ? "only the header line" : "empty input");
        if (L->msgs.known && L->msgs.status > 0)
            fprintf(stderr, "fsrake2-report: the scanner exited with status %d\n", L->msgs.status);
        if (L->msgs.known && !L->msgs.fatal.empty())
            fprintf(stderr, "fsrake2-report: the scanner said: %s\n",
                    fr2r_term_escape(L->msgs.fatal).c_str());
        L->bad++;
        L->reported = true;
    }
}

// ---------------------------------------------------------------- record

bool mark_dups(const loader &L) {
    fr2r_stmt s = fr2r_prepare(L.db, k_mark_dups);
    bool ok = s;
    if (ok) {
        sqlite3_bind_int64(s, 1, L.first_row);
        sqlite3_bind_int64(s, 2, L.last_row);
        sqlite3_bind_int64(s, 3, L.scan);
        ok = sqlite3_step(s) == SQLITE_DONE;
    }
    if (!ok) fr2r_db_error(L.db, "marking the extra links of files");
    return ok;
}

// What only the whole scan decides: a whole scan's indexes and extra links;
// a rollup's merged parts, finished and stored.
bool store_rest(loader *L) {
    if (!L->opt->rollup)
        return fr2r_db_exec(L->db, k_indexes, "indexing the scan") && mark_dups(*L);
    for (size_t i = 1; i < L->parts.size(); i++) fr2r_rollup_merge(L->parts[0], L->parts[i]);
    fr2r_rollup_finish(L->parts[0]);
    return fr2r_rollup_store(L->db, L->scan, L->parts[0]) == 0;
}

// Why a scan is incomplete, from its lines and the scanner's messages; "" if it is not.
std::string incomplete_reasons(const loader &L) {
    const fr2r_messages &m = L.msgs;
    std::vector<std::string> r;
    if (L.roots == 0)
        r.push_back("no root directory line (the scan was cut short, or is a part of one)");
    if (m.known && m.status > 0)
        r.push_back("the scanner exited with status " + std::to_string(m.status));
    if (m.no_progress) r.push_back("the scanner gave up on threads that made no progress");
    if (m.write_error) r.push_back("the scanner could not write its output");
    if (!m.fatal.empty()) r.push_back("the scanner said: " + fr2r_term_escape(m.fatal));
    if (m.known && m.summary.empty())
        r.push_back("the scanner's messages end without its final summary");
    if (m.summary_lines > L.lines + L.bad)
        r.push_back("the scanner wrote " + std::to_string(m.summary_lines) + " lines, " +
                    std::to_string(L.lines + L.bad) + " were read");
    if (L.bad > 0)
        r.push_back(std::to_string(L.bad) + " malformed line" + (L.bad == 1 ? "" : "s") +
                    " skipped");
    std::string s;
    for (const auto &x : r) s += (s.empty() ? "" : "; ") + x;
    return s;
}

// The scan's own row: where its lines are, its root, how complete it is,
// what the scanner said last.
bool record_summary(const loader &L, const std::string &incomplete) {
    fr2r_stmt s = fr2r_prepare(L.db, "UPDATE scans SET root = ?2, lines = ?3, skipped = ?4, "
                                     "first_row = ?5, last_row = ?6, incomplete = ?7, "
                                     "scanner_status = ?8, summary = ?9, keep_files = ?10 "
                                     "WHERE id = ?1");
    bool ok = s;
    if (ok) {
        sqlite3_bind_int64(s, 1, L.scan);
        if (L.roots > 0) sqlite3_bind_blob(s, 2, L.root.data(), (int)L.root.size(), SQLITE_STATIC);
        sqlite3_bind_int64(s, 3, L.lines);
        sqlite3_bind_int64(s, 4, L.bad);
        sqlite3_bind_int64(s, 5, L.first_row);
        sqlite3_bind_int64(s, 6, L.last_row);
        if (!incomplete.empty()) bind_text(s, 7, incomplete);
        if (L.msgs.known && L.msgs.status >= 0) sqlite3_bind_int64(s, 8, L.msgs.status);
        if (!L.msgs.summary.empty()) bind_text(s, 9, L.msgs.summary);
        if (L.opt->rollup) sqlite3_bind_int64(s, 10, L.opt->keep_files);
        ok = sqlite3_step(s) == SQLITE_DONE;
    }
    if (!ok) fr2r_db_error(L.db, "recording the scan");
    return ok;
}

// The directories the scanner could not read, and the files the scan came
// from (for the warning of a file loaded again).
bool record_messages_and_inputs(const loader &L) {
    const std::vector<fr2r_problem> &pr = L.msgs.problems;
    std::vector<const input_file *> files;
    for (const auto &x : L.in)
        if (x.size >= 0) files.push_back(&x);
    return fr2r_insert_rows(L.db, L.scan,
                            "INSERT INTO problems(scan, kind, path, message) "
                            "VALUES(?1, ?2, ?3, ?4)",
                            pr.size(), "recording the unreadable directories",
                            [&](sqlite3_stmt *s, size_t i) {
                                bind_text(s, 2, pr[i].kind);
                                sqlite3_bind_blob(s, 3, pr[i].path.data(), (int)pr[i].path.size(),
                                                  SQLITE_STATIC);
                                bind_text(s, 4, pr[i].message);
                            }) &&
           fr2r_insert_rows(L.db, L.scan,
                            "INSERT INTO scan_files(scan, name, size, mtime) "
                            "VALUES(?1, ?2, ?3, ?4)",
                            files.size(), "recording the input files",
                            [&](sqlite3_stmt *s, size_t i) {
                                bind_text(s, 2, base_name(files[i]->name));
                                sqlite3_bind_int64(s, 3, files[i]->size);
                                sqlite3_bind_int64(s, 4, files[i]->mtime);
                            });
}

// Stores what is left, records the scan and commits. false after a message.
bool record_scan(loader *L, std::string *incomplete) {
    *incomplete = incomplete_reasons(*L);
    return store_rest(L) && record_summary(*L, *incomplete) && record_messages_and_inputs(*L) &&
           fr2r_db_exec(L->db, "COMMIT", "committing the scan");
}

}  // namespace

int fr2r_load(sqlite3 *db, const std::vector<std::string> &inputs, const fr2r_load_options &opt,
              fr2r_load_result *res) {
    loader L;
    L.db = db;
    L.opt = &opt;
    L.t0 = now_seconds();
    if (!open_inputs(&L, inputs) || !begin_scan(&L)) {
        close_inputs(&L);
        return -1;
    }
    stream_lines(&L);
    bool ok = !L.failed && L.lines > 0 && (L.bad == 0 || opt.skip_bad);
    std::string incomplete;
    if (ok) ok = record_scan(&L, &incomplete);
    close_inputs(&L);
    for (fr2r_rollup *r : L.parts) fr2r_rollup_free(r);
    if (!ok) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (L.bad > 0 && !L.reported)
            fprintf(stderr,
                    "fsrake2-report: %s: %" PRId64 " malformed line%s, nothing loaded "
                    "(--skip-bad loads the rest)\n",
                    L.source.c_str(), L.bad, L.bad == 1 ? "" : "s");
    } else if (L.bad > 0) {
        fprintf(stderr, "fsrake2-report: %s: %" PRId64 " malformed line%s skipped\n",
                L.source.c_str(), L.bad, L.bad == 1 ? "" : "s");
    }
    res->scan_id = ok ? L.scan : 0;
    res->lines = ok ? L.lines : 0;
    res->bad = L.bad;
    res->seconds = now_seconds() - L.t0;
    res->incomplete = ok ? incomplete : "";
    res->problems = ok ? (int64_t)L.msgs.problems.size() : 0;
    return ok ? 0 : -1;
}
