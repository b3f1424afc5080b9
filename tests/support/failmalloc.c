/* Preloaded into the filter by the tests: malloc and calloc fail for the one size named
 * by QUILLET_FAIL_MALLOC, so that a page buffer or a clipped copy of a known
 * size cannot be had. */
#include <errno.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);

static int must_fail(size_t size)
{
    static int ready;
    static size_t failSize = (size_t)-1;

    /* The first calls can come before the environment is set up. */
    if (!ready) {
        const char *text = getenv("QUILLET_FAIL_MALLOC");
        if (text) {
            failSize = (size_t)strtoull(text, NULL, 10);
            ready = 1;
        }
    }
    return size == failSize;
}

void *malloc(size_t size)
{
    if (must_fail(size)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

/* A malloc followed by zeroing may be compiled into calloc. */
void *calloc(size_t count, size_t size)
{
    if (size && count <= (size_t)-1 / size && must_fail(count * size)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(count, size);
}
