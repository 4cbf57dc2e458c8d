// MODE SENSE(6) and its printers. (Placeholder bodies; filled in by the owning change.)
#include "zkDGCclariion.h"

extern "C" {

int do_mode_sense_raw(const char *path, int dbd, int page_control,
                      int page_code, int *length_out, unsigned char **buffer_out)
{
    (void)path; (void)dbd; (void)page_control; (void)page_code;
    (void)length_out; (void)buffer_out;
    return 5;
}

int do_mode_sense(const char *path, int dbd, int page_control, int page_code,
                  int *length_out, unsigned char **buffer_out)
{
    (void)path; (void)dbd; (void)page_control; (void)page_code;
    (void)length_out; (void)buffer_out;
    return 5;
}

void dump_mode_sense_data(const unsigned char *data, int length) { (void)data; (void)length; }
void decode_mode_sense_data(const unsigned char *data, int length) { (void)data; (void)length; }

}  // extern "C"
