/* The replies handed to components and the components alive in this bridge. */
#include "bridge_ledger.h"

#include <stdlib.h>
#include <string.h>

struct reply {
    char* buffer;   /* this process's copy, handed to the component */
    uint64_t token; /* the host's own pointer */
    size_t cap;
};
/* Replies to queries, out until the call from the bench in progress returns. */
static struct reply* g_queries;
static size_t g_query_count, g_query_cap;
/* Replies to other commands (PS): the host keeps owning them and they are never released, so
 * one copy per host pointer is kept and reused. */
enum { KEPT = 64, RELEASED = 256 };
static struct reply g_kept[KEPT];
static size_t g_kept_count;
/* Buffers released lately, so a repeated release reaches the host as the same pointer again. */
static struct reply g_released[RELEASED];
static size_t g_released_next;

static void forget_released(const char* buffer) {
    size_t i;
    for (i = 0; i < RELEASED; ++i)
        if (g_released[i].buffer == buffer)
            g_released[i].buffer = NULL;
}

static char* copy_text(const char* text, size_t n) {
    char* b = malloc(n + 1);
    if (!b)
        return NULL;
    memcpy(b, text, n);
    b[n] = '\0';
    return b;
}

/* Puts b, the copy of a reply to host pointer token, in r: the next entry of its list. */
static char* enter(struct reply* r, char* b, uint64_t token, size_t n) {
    r->buffer = b;
    r->token = token;
    r->cap = n + 1;
    forget_released(b);
    return b;
}

static char* keep(uint64_t token, const char* text, size_t n) {
    size_t i;
    char* b;
    for (i = 0; i < g_kept_count; ++i) {
        if (g_kept[i].token != token)
            continue;
        if (g_kept[i].cap <= n) {
            b = copy_text(text, n);
            if (!b)
                return NULL;
            free(g_kept[i].buffer);
            g_kept[i].buffer = b;
            g_kept[i].cap = n + 1;
        } else {
            memcpy(g_kept[i].buffer, text, n);
            g_kept[i].buffer[n] = '\0';
        }
        return g_kept[i].buffer;
    }
    b = copy_text(text, n);
    if (!b)
        return NULL;
    if (g_kept_count == KEPT) { /* the oldest goes; hosts keep only a few static replies */
        free(g_kept[0].buffer);
        memmove(g_kept, g_kept + 1, (KEPT - 1) * sizeof *g_kept);
        --g_kept_count;
    }
    return enter(&g_kept[g_kept_count++], b, token, n);
}

char* zb_ledger_hand_out(uint64_t token, const char* text, size_t n, int query) {
    char* b;
    if (!query)
        return keep(token, text, n);
    if (g_query_count == g_query_cap) {
        const size_t cap = g_query_cap ? g_query_cap * 2 : 16;
        struct reply* grown = realloc(g_queries, cap * sizeof *grown);
        if (!grown)
            return NULL;
        g_queries = grown;
        g_query_cap = cap;
    }
    b = copy_text(text, n);
    if (!b)
        return NULL;
    return enter(&g_queries[g_query_count++], b, token, n);
}

uint64_t zb_ledger_release(char* p) {
    size_t i;
    for (i = 0; i < g_query_count; ++i) {
        const uint64_t token = g_queries[i].token;
        if (g_queries[i].buffer != p)
            continue;
        g_released[g_released_next] = g_queries[i];
        g_released_next = (g_released_next + 1) % RELEASED;
        g_queries[i] = g_queries[--g_query_count];
        free(p);
        return token;
    }
    for (i = 0; i < g_kept_count; ++i)
        if (g_kept[i].buffer == p)
            return g_kept[i].token;
    for (i = 0; i < RELEASED; ++i)
        if (g_released[i].buffer == p)
            return g_released[i].token;
    return 0;
}

void zb_ledger_end_call(void) {
    while (g_query_count)
        free(g_queries[--g_query_count].buffer);
}

static struct zb_component* g_components;
static size_t g_component_count, g_component_cap;

struct zb_component* zb_component_find(uint64_t handle) {
    size_t i;
    for (i = 0; i < g_component_count; ++i)
        if ((uint64_t)(uintptr_t)g_components[i].object == handle)
            return &g_components[i];
    return NULL;
}

int zb_component_add(void* object, void* host) {
    if (g_component_count == g_component_cap) {
        const size_t cap = g_component_cap ? g_component_cap * 2 : 16;
        struct zb_component* grown = realloc(g_components, cap * sizeof *grown);
        if (!grown)
            return 0;
        g_components = grown;
        g_component_cap = cap;
    }
    g_components[g_component_count].object = object;
    g_components[g_component_count].host = host;
    g_components[g_component_count].dead = 0;
    ++g_component_count;
    return 1;
}

void zb_component_remove(struct zb_component* c) {
    *c = g_components[--g_component_count];
}
