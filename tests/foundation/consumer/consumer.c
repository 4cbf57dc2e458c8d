/* A host as small as it gets, built against the installed library. */
#include <zkDGCclariion.h>

#include <stdio.h>

int main(void)
{
    const char **info = NULL;
    vendor_info(&info);
    for (const char **entry = info; *entry != NULL; ++entry)
        printf("%s\n", *entry);
    printf("version %d\n", _lib_version);
    return 0;
}
