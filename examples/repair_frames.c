/* Repairs each frame read from standard input, one frame per read, as a
 * capture device or a datagram socket hands them over, and writes it to
 * standard output: cc repair_frames.c $(pkg-config --cflags --libs dhtfix) */
#include <dhtfix.h>
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    /* Room for the frame and the segment for two fields. */
    static unsigned char frame[4 << 20], out[(4 << 20) + 840];
    ssize_t n;
    while ((n = read(0, frame, sizeof frame)) > 0) {
        size_t size;
        int status = dhtfix_repair(frame, (size_t)n, out, sizeof out, &size);
        if (status < 0) {
            fprintf(stderr, "repair_frames: %s\n", dhtfix_status_text(status));
            return 1;
        }
        if (fwrite(out, 1, size, stdout) != size)
            return 1;
    }
    return n < 0 || fflush(stdout) != 0;
}
