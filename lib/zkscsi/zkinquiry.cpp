// INQUIRY and its printers. (Placeholder bodies; filled in by the owning change.)
#include "zkDGCclariion.h"

extern "C" {

int do_inquiry(const char *path, int evpd, int page_code, int open_flags,
               int *length_out, unsigned char **buffer_out)
{
    (void)path; (void)evpd; (void)page_code; (void)open_flags;
    (void)length_out; (void)buffer_out;
    return 5;
}

void dump_inquiry_data(const unsigned char *data, int length) { (void)data; (void)length; }
void decode_inquiry_data(const unsigned char *data, int length) { (void)data; (void)length; }

}  // extern "C"
