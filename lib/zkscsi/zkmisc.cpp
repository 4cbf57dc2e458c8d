// Identifier text and message output. (Placeholder bodies; filled in by the owning change.)
#include "zkDGCclariion.h"

extern "C" {

int bascii_copy(char *target, const unsigned char *source, int count, int target_size)
{
    (void)target; (void)source; (void)count; (void)target_size;
    return -1;
}

const char *strcpy_nb(const char *source, char *target, int size)
{
    (void)size;
    target[0] = '\0';
    return source;
}

void ddlmsg(int word1, int word2, const char *format, ...) { (void)word1; (void)word2; (void)format; }

}  // extern "C"
