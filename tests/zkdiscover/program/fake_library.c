/* Stand-ins for the support library, to check how zkdiscover refuses them:
 * built once with FAKE_VERSION=2 (a future interface with every entry
 * point) and once with FAKE_NO_ENTRY_POINTS (version 1, nothing else). */
#include <stddef.h>

#ifndef FAKE_VERSION
#define FAKE_VERSION 1
#endif

const int _lib_version = FAKE_VERSION;

#ifndef FAKE_NO_ENTRY_POINTS
static const char *info[] = {"VID=DGC", NULL};
void vendor_info(const char ***out) { *out = info; }
int claim_device(const void *entry, char ***list) { (void)entry; (void)list; return 1; }
void nv_free(void *block) { (void)block; }
int do_inquiry(const char *p, int e, int c, int f, int *l, unsigned char **b)
{
    (void)p; (void)e; (void)c; (void)f; (void)l; (void)b;
    return 5;
}
#endif
