/* The syscall floor for unpacking many small files: the least a program can
 * do to create the same tree, with the content already in memory.
 * usage: floor <out_dir> <dirs> <files_per_dir> <file_size> */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: floor <out_dir> <dirs> <files_per_dir> <file_size>\n");
        return 2;
    }
    int dirs = atoi(argv[2]), files = atoi(argv[3]);
    size_t size = (size_t)atol(argv[4]);
    char* data = malloc(size ? size : 1);
    memset(data, 'x', size);
    if (mkdir(argv[1], 0777) != 0) return 1;
    int top = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (mkdirat(top, "arc", 0777) != 0) return 1;
    int arc = openat(top, "arc", O_RDONLY | O_DIRECTORY);
    char name[64];
    for (int d = 0; d < dirs; ++d) {
        snprintf(name, sizeof name, "d%03d", d);
        if (mkdirat(arc, name, 0777) != 0) return 1;
        int dir = openat(arc, name, O_RDONLY | O_DIRECTORY);
        for (int f = 0; f < files; ++f) {
            snprintf(name, sizeof name, "f%05d.bin", f);
            int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL, 0666);
            if (fd < 0 || write(fd, data, size) != (ssize_t)size || close(fd) != 0) return 1;
        }
        close(dir);
    }
    return 0;
}
