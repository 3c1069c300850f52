/* Prints the console's state as a launcher finds it: the active virtual terminal, its display
 * mode and its keyboard mode, as three numbers on one line ("1 0 3": VT 1, KD_TEXT,
 * K_UNICODE). A program that leaves without giving the console back leaves another VT, or
 * KD_GRAPHICS (1), or a raw keyboard (K_MEDIUMRAW is 2) behind. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>

#include <linux/kd.h>
#include <linux/vt.h>

int main(void)
{
    struct vt_stat state;
    int console = open("/dev/tty0", O_RDONLY | O_NOCTTY);
    if (console < 0 || ioctl(console, VT_GETSTATE, &state) != 0) {
        perror("/dev/tty0");
        return 1;
    }
    char path[32];
    snprintf(path, sizeof path, "/dev/tty%d", state.v_active);
    int mode, keyboard, tty = open(path, O_RDONLY | O_NOCTTY);
    if (tty < 0 || ioctl(tty, KDGETMODE, &mode) != 0 || ioctl(tty, KDGKBMODE, &keyboard) != 0) {
        perror(path);
        return 1;
    }
    printf("%d %d %d\n", state.v_active, mode, keyboard);
    return 0;
}
