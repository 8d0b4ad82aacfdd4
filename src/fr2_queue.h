// The shared first-in-first-out queue of directory items, the count that
// tells when the walk has ended, and the read-admission gate.
#pragma once

#include <stdint.h>

#include "fr2_item.h"

// Empties the queue and sets the number of read-admission slots. Only while no
// other thread runs.
void fr2_queue_reset(int32_t getdents_max);

// Counts a directory into the walk, then queues it: the walk cannot end while
// the item waits.
void fr2_queue_add(fr2_dir_item *item);
// Queues an item the caller has already counted in.
void fr2_queue_push(fr2_dir_item *item);
// Queues an item the caller has already counted in at the head, to be taken
// first (a chunk of a big directory, which every idle worker or rank should
// share before the next directory).
void fr2_queue_push_front(fr2_dir_item *item);
// Blocks until an item is queued or the walk is done; null when done and the
// queue is empty, or while the queue is paused.
fr2_dir_item *fr2_queue_pop(void);
// Never blocks and does not look at the end of the walk.
fr2_dir_item *fr2_queue_try_pop(void);

// For a queue shared between processes (fsrake2-mpi): unlinks the oldest half
// of the queued items (at most max) into out and returns how many. A single
// queued item is taken only when give_single is set. The items stay counted
// in the walk; the caller counts them out once they are elsewhere.
int fr2_queue_take_half(fr2_dir_item **out, int max, bool give_single);
// Whether no item is queued at this moment.
bool fr2_queue_is_empty(void);

// While paused, fr2_queue_pop hands out nothing and returns null at once, so
// that a worker waiting for work comes to its checkpoint pause point.
void fr2_queue_pause(bool paused);
// Calls fn for every queued item, oldest first, under the queue lock.
void fr2_queue_visit(void (*fn)(const fr2_dir_item *item, void *ctx), void *ctx);

// Counts a directory out of the walk, after its item was freed. The call that
// brings the count to zero ends the walk and wakes every waiter.
void fr2_finish_directory(void);

// The read-admission gate: at most getdents_max workers open or read
// directories at the same time.
void fr2_acquire_getdents_slot(void);
void fr2_release_getdents_slot(void);
bool fr2_try_acquire_getdents_slot(void);
