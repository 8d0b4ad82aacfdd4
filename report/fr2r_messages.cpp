// The scanner's standard error: what it says about directories it could not
// read, and how its run ended.
#include "fr2r_messages.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <tuple>

namespace {

// Longer lines are cut: the scanner's own lines are short, and a runaway
// one must not take the memory.
const size_t k_max_line = 65536;

bool starts(const std::string &s, const char *p) { return s.compare(0, strlen(p), p) == 0; }

// The scanner names the reason after the path ("Locked Dir: PATH: Permission
// denied"); older scanners wrote the path alone. Only a known error text is
// taken off, so a path that itself holds ": " stays whole.
std::string without_reason(const std::string &text) {
    for (int e = 1; e < 134; e++) {
        std::string tail = std::string(": ") + strerror(e);
        if (text.size() > tail.size() &&
            text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
            return text.substr(0, text.size() - tail.size());
    }
    return text;
}

}  // namespace

void fr2r_messages_line(fr2r_messages *m, const std::string &line) {
    m->known = true;
    std::string l = line;
    if (!l.empty() && l.back() == '\r') l.pop_back();
    auto problem = [&](const char *kind, const std::string &path) {
        m->problems.push_back(fr2r_problem{kind, path, l});
    };
    if (starts(l, "Locked Dir: ")) {
        problem("locked", without_reason(l.substr(12)));
    } else if (starts(l, "Timeout Dir: ")) {
        problem("timeout", l.substr(13));
    } else if (starts(l, "worker ")) {
        // "worker N: [prefetch ]getdents64 error: PATH: ERROR"
        size_t k = l.find("getdents64 error: ");
        size_t colon = l.find(": ");
        if (k != std::string::npos && colon != std::string::npos && colon < k) {
            std::string rest = l.substr(k + 18);
            size_t e = rest.rfind(": ");
            problem("read error", e == std::string::npos ? rest : rest.substr(0, e));
        }
        // "worker N: statx error: PATH: ERROR": an entry left out of the listing
        size_t st = l.find("statx error: ");
        if (st != std::string::npos && colon != std::string::npos && colon < st)
            problem("stat error", without_reason(l.substr(st + 13)));
    } else if (starts(l, "fsrake2 done: ")) {
        m->summary = l;
        m->summary_lines = strtoll(l.c_str() + 14, nullptr, 10);
    } else if (starts(l, "fsrake2: no progress")) {
        m->no_progress = true;
    } else if (starts(l, "fsrake2: error writing standard output")) {
        m->write_error = true;
    } else if (starts(l, "fsrake2: statx '") || starts(l, "fsrake2: cannot read directory '") ||
               starts(l, "fsrake2: missing directory") || starts(l, "Unknown option: ") ||
               starts(l, "fsrake2: could not open exclude") ||
               starts(l, "fsrake2: stopped; resume with") ||
               starts(l, "fsrake2-mpi: stopped; resume with")) {
        if (m->fatal.empty()) m->fatal = l;
    }
}

void fr2r_messages_feed(fr2r_messages *m, std::string *partial, const char *buf, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (buf[i] == '\n') {
            fr2r_messages_line(m, *partial);
            partial->clear();
        } else if (partial->size() < k_max_line) {
            partial->push_back(buf[i]);
        }
    }
}

void fr2r_messages_end(fr2r_messages *m, std::string *partial) {
    if (!partial->empty()) fr2r_messages_line(m, *partial);
    partial->clear();
}

int fr2r_messages_read(const char *path, fr2r_messages *m) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "fsrake2-report: cannot open the messages %s: %s\n", path, strerror(errno));
        return -1;
    }
    m->known = true;
    std::string line;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) fr2r_messages_feed(m, &line, buf, n);
    fr2r_messages_end(m, &line);
    bool err = ferror(f);
    fclose(f);
    if (err) {
        fprintf(stderr, "fsrake2-report: cannot read the messages %s\n", path);
        return -1;
    }
    return 0;
}

int fr2r_messages_read_all(const std::vector<std::string> &paths, fr2r_messages *m) {
    std::vector<fr2r_problem> problems;
    std::set<std::tuple<std::string, std::string, std::string>> seen;
    for (const auto &path : paths) {
        // How the scan ended is what the last run said; each run starts afresh.
        fr2r_messages run;
        if (fr2r_messages_read(path.c_str(), &run) != 0) return -1;
        // A directory in progress at a stop may be reported again by the resume.
        for (auto &p : run.problems)
            if (seen.insert(std::make_tuple(p.kind, p.path, p.message)).second)
                problems.push_back(std::move(p));
        int status = m->status;
        *m = std::move(run);
        m->status = status;
    }
    m->problems = std::move(problems);
    return 0;
}
