/* A program that knows nothing of the simulator: prints the unit serial of
 * each path given (or the errno of the failure), and checks that a real
 * file still opens and reads. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int probe_read_serial(const char *path, unsigned char *page, int size);

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        unsigned char page[64];
        int n = probe_read_serial(argv[i], page, sizeof page);
        if (n < 4)
            printf("%s: failed errno %d\n", argv[i], errno);
        else
            printf("%s: serial %.*s\n", argv[i], n - 4, (const char *)page + 4);
    }
    int fd = open("/proc/self/exe", O_RDONLY);
    char magic[4] = {0};
    printf("real file: %s\n", fd >= 0 && read(fd, magic, 4) == 4 && memcmp(magic, "\177ELF", 4) == 0
                                  ? "ok" : "broken");
    if (fd >= 0) close(fd);
    return 0;
}
