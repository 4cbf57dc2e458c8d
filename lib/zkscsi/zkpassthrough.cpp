// The request record and CDB area shared by the INQUIRY and MODE SENSE
// commands: allocated, cleared and released in the order both commands use.
#include "zkpassthrough.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {
constexpr int kNoMemory = 12;  // ENOMEM: the result of a failed allocation
}

int zk_request_alloc(struct zk_request *request, size_t data_length,
                     unsigned char **data)
{
    request->cmd =
        static_cast<struct uscsi_cmd *>(malloc(sizeof(struct uscsi_cmd)));
    if (request->cmd == nullptr)
        return kNoMemory;
    memset(request->cmd, 0, sizeof *request->cmd);

    request->cdb = static_cast<unsigned char *>(malloc(kCdbAreaSize));
    if (request->cdb == nullptr) {
        free(request->cmd);
        return kNoMemory;
    }
    memset(request->cdb, 0, kCdbAreaSize);

    *data = static_cast<unsigned char *>(malloc(data_length));
    if (*data == nullptr) {
        zk_request_release(request);
        return kNoMemory;
    }
    memset(*data, 0, data_length);
    return 0;
}

void zk_request_release(struct zk_request *request)
{
    free(request->cmd);
    free(request->cdb);
}

int zk_request_fail(int fd, struct zk_request *request, unsigned char *data)
{
    int result = zk_failure_result();
    zk_request_release(request);
    if (data != nullptr)
        free(data);
    close(fd);
    errno = result;
    return result;
}
