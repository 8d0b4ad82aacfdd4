// Benchmark of the scan reader (not installed): parses scans with N threads
// and a callback that only counts, and prints lines per second. Rounds of
// each thread count alternate so that a noisy machine hits them alike.
//
// Usage: fr2r_bench_read ROUNDS THREADS[,THREADS...] SCAN.csv...
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fr2r_input.h"

namespace {

double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// A count per part, each on a cache line of its own, as a per-part
// aggregation would keep it.
struct alignas(64) part_count {
    int64_t n = 0;
};

void size_counts(void *ctx, int parts) { ((std::vector<part_count> *)ctx)->resize(parts); }

bool count_record(void *ctx, int part, const fr2r_record &r) {
    if (!r.bad) (*(std::vector<part_count> *)ctx)[part].n++;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: fr2r_bench_read ROUNDS THREADS[,THREADS...] SCAN.csv...\n");
        return 2;
    }
    int rounds = atoi(argv[1]);
    std::vector<int> threads;
    for (char *s = argv[2]; *s;) {
        threads.push_back((int)strtol(s, &s, 10));
        if (*s == ',') s++;
    }
    std::vector<std::string> files(argv + 3, argv + argc);
    std::vector<std::vector<double>> secs(threads.size()), cpu(threads.size());
    int64_t lines = 0;
    for (int r = 0; r < rounds; r++)
        for (size_t k = 0; k < threads.size(); k++) {
            std::vector<part_count> counts;
            fr2r_reader rd;
            rd.record = count_record;
            rd.begin = size_counts;
            rd.ctx = &counts;
            fr2r_read_result res;
            double t0 = now_seconds(), c0 = cpu_seconds();
            if (fr2r_read_parallel(files, threads[k], rd, &res) != 0) return 1;
            secs[k].push_back(now_seconds() - t0);
            cpu[k].push_back(cpu_seconds() - c0);
            lines = 0;
            for (const auto &c : counts) lines += c.n;
        }
    // Medians; the ratio is the wall time of the first thread count over this one's.
    printf("threads        lines    wall_s     lines/s    cpu_s  lines/cpu_s  speedup\n");
    double base = 0;
    for (size_t k = 0; k < threads.size(); k++) {
        std::sort(secs[k].begin(), secs[k].end());
        std::sort(cpu[k].begin(), cpu[k].end());
        double wall = secs[k][secs[k].size() / 2], c = cpu[k][cpu[k].size() / 2];
        if (k == 0) base = wall;
        printf("%7d %12lld %9.3f %11.0f %8.3f %12.0f %8.2f\n", threads[k], (long long)lines, wall,
               lines / wall, c, lines / c, base / wall);
    }
    return 0;
}
