/* Preloaded into Wine by the Windows tests that need a COM port's
 * WaitCommEvent to work. A Wine COM port here is a pty, and a pty has no
 * modem lines: TIOCMGET fails with ENOTTY, and Wine then ends every
 * WaitCommEvent at once, so the receive watcher can only poll. A USB
 * terminal's port (cdc-acm) does report its modem lines. This answers
 * TIOCMGET on a pty as such a port would (DSR, CTS and DCD up), so the
 * event path of the watcher runs under Wine as it does on a real port.
 * Nothing else is touched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_function)(int, unsigned long, ...);

/* Unix 98 pty slaves: majors 136 to 143. */
static int is_pty(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
    static ioctl_function next;
    va_list args;
    void* argument;
    int result;

    if (!next)
        next = (ioctl_function)dlsym(RTLD_NEXT, "ioctl");
    va_start(args, request);
    argument = va_arg(args, void*);
    va_end(args);
    result = next(fd, request, argument);
    if (result == -1 && request == TIOCMGET && argument != NULL && is_pty(fd)) {
        *(int*)argument = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
        return 0;
    }
    return result;
}
