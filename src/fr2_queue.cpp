// The directory queue: an intrusive FIFO, items are their own nodes; the
// end-of-walk count; the read-admission gate.
//
// End of the walk: every item is counted into g_state.dirs_pending before it
// is queued (the root by start-up, a subdirectory by the worker that found
// it), and counted out after it was freed, whatever became of it: read and
// listed, failed, or held as a prefetch when its worker stops. The count can
// only reach zero when no item is queued or held, and nothing can queue one
// after that, because only a held item leads to new ones.
#include "fr2_queue.h"

#include <pthread.h>

#include "fr2.h"

struct fr2_queue {
    pthread_mutex_t lock;  // guards head, tail and the links of queued items
    pthread_cond_t cond;   // signalled once per push, broadcast at the end of the walk
    fr2_dir_item *head;
    fr2_dir_item *tail;
    bool paused;  // a checkpoint is being taken: pop hands out nothing
};

struct fr2_gate {
    pthread_mutex_t lock;  // guards active
    pthread_cond_t cond;   // signalled once per release
    int32_t active;
    int32_t max;
};

static fr2_queue g_queue = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, nullptr, nullptr,
                            false};
static fr2_gate g_gate = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 1};

void fr2_queue_reset(int32_t getdents_max) {
    g_queue.head = g_queue.tail = nullptr;
    g_queue.paused = false;
    g_gate.active = 0;
    g_gate.max = getdents_max < 1 ? 1 : getdents_max;
}

void fr2_queue_push(fr2_dir_item *item) {
    item->next = nullptr;
    pthread_mutex_lock(&g_queue.lock);
    if (g_queue.tail)
        g_queue.tail->next = item;
    else
        g_queue.head = item;
    g_queue.tail = item;
    pthread_cond_signal(&g_queue.cond);  // one new item wakes one worker
    pthread_mutex_unlock(&g_queue.lock);
}

void fr2_queue_push_front(fr2_dir_item *item) {
    pthread_mutex_lock(&g_queue.lock);
    item->next = g_queue.head;
    g_queue.head = item;
    if (!g_queue.tail) g_queue.tail = item;
    pthread_cond_signal(&g_queue.cond);
    pthread_mutex_unlock(&g_queue.lock);
}

void fr2_queue_add(fr2_dir_item *item) {
    // Counted before it is queued, so the walk cannot end while it waits.
    g_state.dirs_pending.fetch_add(1, std::memory_order_acq_rel);
    fr2_queue_push(item);
}

static fr2_dir_item *queue_unlink_head(void) {
    fr2_dir_item *item = g_queue.head;
    g_queue.head = item->next;
    if (!g_queue.head) g_queue.tail = nullptr;
    return item;
}

fr2_dir_item *fr2_queue_pop(void) {
    pthread_mutex_lock(&g_queue.lock);
    // done is read under the lock, so the end-of-walk broadcast cannot be missed.
    while (!g_queue.head && !g_queue.paused && !g_state.done.load(std::memory_order_acquire))
        pthread_cond_wait(&g_queue.cond, &g_queue.lock);
    fr2_dir_item *item = g_queue.head && !g_queue.paused ? queue_unlink_head() : nullptr;
    pthread_mutex_unlock(&g_queue.lock);
    return item;
}

fr2_dir_item *fr2_queue_try_pop(void) {
    pthread_mutex_lock(&g_queue.lock);
    fr2_dir_item *item = g_queue.head ? queue_unlink_head() : nullptr;
    pthread_mutex_unlock(&g_queue.lock);
    return item;
}

int fr2_queue_take_half(fr2_dir_item **out, int max, bool give_single) {
    pthread_mutex_lock(&g_queue.lock);
    // Counting stops at twice what may go: a long queue costs no more.
    int queued = 0;
    for (fr2_dir_item *it = g_queue.head; it && queued < 2 * max; it = it->next) queued++;
    int take = queued == 1 && give_single ? 1 : queued / 2;
    for (int i = 0; i < take; i++) out[i] = queue_unlink_head();
    pthread_mutex_unlock(&g_queue.lock);
    return take;
}

void fr2_queue_pause(bool paused) {
    pthread_mutex_lock(&g_queue.lock);
    g_queue.paused = paused;
    pthread_cond_broadcast(&g_queue.cond);
    pthread_mutex_unlock(&g_queue.lock);
}

void fr2_queue_visit(void (*fn)(const fr2_dir_item *item, void *ctx), void *ctx) {
    pthread_mutex_lock(&g_queue.lock);
    for (const fr2_dir_item *it = g_queue.head; it; it = it->next) fn(it, ctx);
    pthread_mutex_unlock(&g_queue.lock);
}

bool fr2_queue_is_empty(void) {
    pthread_mutex_lock(&g_queue.lock);
    bool empty = g_queue.head == nullptr;
    pthread_mutex_unlock(&g_queue.lock);
    return empty;
}

void fr2_finish_directory(void) {
    // acq_rel: the worker that ends the walk sees every count-in before it.
    if (g_state.dirs_pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        pthread_mutex_lock(&g_queue.lock);
        g_state.done.store(true,
                           std::memory_order_release);  // pairs with the load in fr2_queue_pop
        pthread_cond_broadcast(&g_queue.cond);
        pthread_mutex_unlock(&g_queue.lock);
    }
}

// ---- read-admission gate ------------------------------------------------------

void fr2_acquire_getdents_slot(void) {
    pthread_mutex_lock(&g_gate.lock);
    while (g_gate.active >= g_gate.max) pthread_cond_wait(&g_gate.cond, &g_gate.lock);
    g_gate.active++;
    pthread_mutex_unlock(&g_gate.lock);
}

void fr2_release_getdents_slot(void) {
    pthread_mutex_lock(&g_gate.lock);
    g_gate.active--;
    pthread_cond_signal(&g_gate.cond);
    pthread_mutex_unlock(&g_gate.lock);
}

bool fr2_try_acquire_getdents_slot(void) {
    pthread_mutex_lock(&g_gate.lock);
    bool ok = g_gate.active < g_gate.max;
    if (ok) g_gate.active++;
    pthread_mutex_unlock(&g_gate.lock);
    return ok;
}
