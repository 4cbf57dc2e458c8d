// Array support entry points: host interface, vendor identification and
// device claiming. (Placeholder bodies; filled in by the owning change.)
#include "zkDGCclariion.h"

extern "C" {

const int _lib_version = 1;
int enclr_head = 0;
int ghostio_resid = 0;

void vendor_info(const char ***info_out) { (void)info_out; }

int SupportedClariion(int model) { (void)model; return 1; }

int claim_device(const device_entry *entry, char ***list_out)
{
    (void)entry; (void)list_out;
    return ZK_CLAIM_FAILED;
}

}  // extern "C"
