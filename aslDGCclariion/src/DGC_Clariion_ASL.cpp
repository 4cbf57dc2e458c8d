// Array support entry points: host interface, vendor identification and
// device claiming.
#include "zkDGCclariion.h"

#include <stdio.h>

extern "C" {

const int _lib_version = 1;
int enclr_head = 0;
int ghostio_resid = 0;

// Identification pairs handed to the host; static, never changed.
static const char *Clariion_info[] = {
    "VID=DGC", "PID=CLARiiON", "ATYPE=A/P", "ANAME=EMC_CLARiiON", nullptr,
};

void vendor_info(const char ***info_out)
{
    char message[255];

    OpenDbgTempFile();
    snprintf(message, sizeof message, "Vendor Info\n\n");
    xDbgPrint(1, message);
    *info_out = Clariion_info;
}

// Placeholder bodies; filled in by the device claiming change.
int SupportedClariion(int model) { (void)model; return 1; }

int claim_device(const device_entry *entry, char ***list_out)
{
    (void)entry; (void)list_out;
    return ZK_CLAIM_FAILED;
}

}  // extern "C"
