/*
 * mpi_steal_latency: what one steal costs with MPI point-to-point messages
 * (a request answered by the victim's polling communication thread, as
 * fsrake2-mpi does) against MPI-3 one-sided access (the thief locks the
 * victim's window, reads its queue and takes items, the victim's process not
 * taking part), and what each costs the victim's own workers per local pop.
 *
 *   mpirun -n 2 mpi_steal_latency [ITERATIONS] [REPLY_BYTES]
 *
 * Rank 1 steals from rank 0. Prints microseconds per operation.
 */
#include <mpi.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static void pause_us(long us) {
    struct timespec ts = {0, us * 1000};
    nanosleep(&ts, NULL);
}

int main(int argc, char **argv) {
    int provided, rank, size;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    int iters = argc > 1 ? atoi(argv[1]) : 2000;
    int reply = argc > 2 ? atoi(argv[2]) : 2048;  /* about 12 directory items */
    if (size != 2) {
        if (rank == 0) fprintf(stderr, "run with 2 ranks\n");
        MPI_Finalize();
        return 2;
    }
    char *buf = calloc(1, (size_t)reply + 64);

    /* 1. Point-to-point: the victim polls between 20 us pauses, as the
     * communication thread does while it has nothing else to do. */
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank == 0) {
        int served = 0;
        while (served < iters) {
            int flag = 0;
            MPI_Status st;
            MPI_Iprobe(1, 1, MPI_COMM_WORLD, &flag, &st);
            if (!flag) {
                pause_us(20);
                continue;
            }
            MPI_Recv(NULL, 0, MPI_BYTE, 1, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            MPI_Send(buf, reply, MPI_BYTE, 1, 2, MPI_COMM_WORLD);
            served++;
        }
    } else {
        double t0 = now_us();
        for (int i = 0; i < iters; i++) {
            MPI_Send(NULL, 0, MPI_BYTE, 0, 1, MPI_COMM_WORLD);
            MPI_Recv(buf, reply, MPI_BYTE, 0, 2, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        }
        printf("point-to-point steal (request + %d-byte reply): %.1f us\n", reply,
               (now_us() - t0) / iters);
    }

    /* 2. One-sided: the queue lives in rank 0's window (a count and the item
     * bytes); the thief locks it, reads the count and the items, writes the
     * new count, unlocks. Rank 0 only sleeps meanwhile. */
    MPI_Win win;
    char *base;
    MPI_Win_allocate((MPI_Aint)reply + 64, 1, MPI_INFO_NULL, MPI_COMM_WORLD, &base, &win);
    memset(base, 0, (size_t)reply + 64);
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank == 1) {
        double t0 = now_us();
        for (int i = 0; i < iters; i++) {
            long count = 0;
            MPI_Win_lock(MPI_LOCK_EXCLUSIVE, 0, 0, win);
            MPI_Get(&count, 1, MPI_LONG, 0, 0, 1, MPI_LONG, win);
            MPI_Win_flush(0, win);
            MPI_Get(buf, reply, MPI_BYTE, 0, 64, reply, MPI_BYTE, win);
            count += 1;
            MPI_Put(&count, 1, MPI_LONG, 0, 0, 1, MPI_LONG, win);
            MPI_Win_unlock(0, win);
        }
        printf("one-sided steal (lock, get count, get %d bytes, put, unlock): %.1f us\n", reply,
               (now_us() - t0) / iters);
        MPI_Send(NULL, 0, MPI_BYTE, 0, 3, MPI_COMM_WORLD);
    } else {
        int flag = 0;
        while (!flag) {  /* no MPI progress from the victim but this probe */
            pause_us(1000);
            MPI_Iprobe(1, 3, MPI_COMM_WORLD, &flag, MPI_STATUS_IGNORE);
        }
        MPI_Recv(NULL, 0, MPI_BYTE, 1, 3, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }

    /* 3. The victim's own workers pop from that queue: under a mutex when the
     * queue is the process's, under a lock of its own window when it is shared
     * one-sided. */
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank == 0) {
        pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
        volatile long q = 0;
        double t0 = now_us();
        for (int i = 0; i < iters * 100; i++) {
            pthread_mutex_lock(&m);
            q++;
            pthread_mutex_unlock(&m);
        }
        double mutex_us = (now_us() - t0) / (iters * 100);
        t0 = now_us();
        for (int i = 0; i < iters; i++) {
            MPI_Win_lock(MPI_LOCK_EXCLUSIVE, 0, 0, win);
            ((long *)base)[0]++;
            MPI_Win_unlock(0, win);
        }
        printf("local pop: mutex %.3f us, window lock on self %.3f us\n", mutex_us,
               (now_us() - t0) / iters);
    }
    MPI_Win_free(&win);
    free(buf);
    MPI_Finalize();
    return 0;
}
