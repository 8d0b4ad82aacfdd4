// stat_probe: another user of a busy filer. Stats one path at a fixed interval
// and, when told to stop (SIGTERM or SIGINT) or after a given time, prints how
// long its stats took: count, median, 90th percentile and maximum.
//
//   stat_probe [--interval-ms N] [--seconds S] PATH
//
// Output, one line on standard output:
//   probe: 123 stats, median 3.41 ms, p90 4.02 ms, max 9.80 ms
// The file's attributes must not be cached by the client for this to measure
// the server (latfs with its default timeouts of 0).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

double now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    long interval_ms = 20;
    double seconds = 0;  // 0: until a signal
    const char *path = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--interval-ms") && i + 1 < argc)
            interval_ms = atol(argv[++i]);
        else if (!strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = atof(argv[++i]);
        else if (argv[i][0] != '-' && !path)
            path = argv[i];
        else {
            fprintf(stderr, "usage: stat_probe [--interval-ms N] [--seconds S] PATH\n");
            return 2;
        }
    }
    if (!path || interval_ms < 1) {
        fprintf(stderr, "usage: stat_probe [--interval-ms N] [--seconds S] PATH\n");
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;  // no SA_RESTART: the sleep ends at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::vector<double> took;
    double start = now_ms(), next = start;
    while (!g_stop && (seconds <= 0 || now_ms() - start < seconds * 1e3)) {
        double t0 = now_ms();
        struct stat st;
        if (stat(path, &st) != 0) {
            perror(path);
            return 1;
        }
        took.push_back(now_ms() - t0);
        next += double(interval_ms);
        double wait = next - now_ms();
        if (wait > 0) {
            struct timespec ts = {time_t(wait / 1e3),
                                  long((wait - double(time_t(wait / 1e3)) * 1e3) * 1e6)};
            nanosleep(&ts, nullptr);
        } else {
            next = now_ms();  // a stat longer than the interval: no catching up
        }
    }
    if (took.empty()) {
        printf("probe: 0 stats\n");
        return 0;
    }
    std::sort(took.begin(), took.end());
    auto at = [&](double q) {
        return took[std::min(took.size() - 1, size_t(q * double(took.size())))];
    };
    printf("probe: %zu stats, median %.2f ms, p90 %.2f ms, max %.2f ms\n", took.size(), at(0.5),
           at(0.9), took.back());
    return 0;
}
