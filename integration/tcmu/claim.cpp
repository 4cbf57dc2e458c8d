// Guest program of the TCMU kernel test: offers one device node to
// claim_device as a host does (standard INQUIRY read with the library's own
// do_inquiry, read-only and non-blocking) and prints the outcome:
//   result=R
//   NAME=VALUE        one line per pair, in the list's order (result 0 only)
// Exit status 0 when the claim ran, 1 when the INQUIRY could not be read,
// 2 on a usage error.
#include "zkDGCclariion.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 2 || std::strlen(argv[1]) >= ZK_DEVICE_PATH_SIZE) {
        std::fprintf(stderr, "usage: %s NODE (a path under %d characters)\n", argv[0],
                     ZK_DEVICE_PATH_SIZE);
        return 2;
    }
    int length = 0;
    unsigned char *inquiry = nullptr;
    int rc = do_inquiry(argv[1], 0, 0, O_RDONLY | O_NDELAY, &length, &inquiry);
    if (rc != 0) {
        std::printf("inquiry=%d (%s)\n", rc, std::strerror(rc));
        return 1;
    }
    // claim_device reads up to byte 35: a shorter answer is padded with zeros.
    unsigned char standard[36] = {};
    std::memcpy(standard, inquiry, length < 36 ? static_cast<size_t>(length) : 36);

    device_entry entry{};
    std::snprintf(entry.path, sizeof entry.path, "%s", argv[1]);
    entry.inquiry = length < 36 ? standard : inquiry;
    char **list = nullptr;
    int result = claim_device(&entry, &list);
    std::printf("result=%d\n", result);
    if (result == ZK_CLAIMED) {
        for (char **pair = list; *pair; ++pair)
            std::printf("%s\n", *pair);
        nv_free(list);
    }
    std::free(inquiry);
    return 0;
}
