// The walk state shared by the modules, and the tables of per-worker records.
#include "fr2.h"

#include <stdlib.h>
#include <string.h>

#include "fr2_config.h"
#include "fr2_queue.h"

fr2_state g_state;

void fr2_state_init(void) {
    g_state.dirs_pending.store(0, std::memory_order_relaxed);
    g_state.done.store(false, std::memory_order_relaxed);
    g_state.total_files.store(0, std::memory_order_relaxed);
    g_state.total_bytes.store(0, std::memory_order_relaxed);
    g_state.root_dev = 0;
    g_state.worker_count.store(0, std::memory_order_relaxed);
    g_state.output_waiting.store(0, std::memory_order_relaxed);
    g_state.prefetch = true;
    g_state.root_errno.store(0, std::memory_order_relaxed);
    fr2_queue_reset(g_config.getdents_max);
}

// The block calloc gave is kept in the word before the table.
void *fr2_table_alloc(size_t n, size_t size) {
    if (n == 0) n = 1;
    if (size != 0 && n > (SIZE_MAX - 128) / size) return nullptr;
    char *raw = static_cast<char *>(calloc(1, n * size + 128));
    if (!raw) return nullptr;
    uintptr_t at = (uintptr_t(raw) + sizeof(void *) + 63) & ~uintptr_t(63);
    char *table = reinterpret_cast<char *>(at);
    memcpy(table - sizeof(void *), &raw, sizeof raw);
    return table;
}

void fr2_table_free(void *table) {
    if (!table) return;
    char *raw;
    memcpy(&raw, static_cast<char *>(table) - sizeof(void *), sizeof raw);
    free(raw);
}
