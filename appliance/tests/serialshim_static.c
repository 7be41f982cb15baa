/*
 * The serial shim for statically linked appliance programs (the arm build).
 *
 * A static program cannot be given the shim with LD_PRELOAD: there is no dynamic
 * loader, and under qemu-arm the program's ioctls become the emulator's own raw
 * system calls. So the arm build links test twins of the serial daemons with
 *     -Wl,--wrap=ioctl,--wrap=tcgetattr,--wrap=tcsetattr,--wrap=tcflush,--wrap=close
 * and these objects: every call of the daemon's code to one of those functions
 * reaches __wrap_<name> here, and the original is __real_<name>.
 *
 * The behaviour is the rig's shim, tests/rig/serialshim.c, compiled unchanged: it
 * is included below with its five entry points renamed to the __wrap_ names and
 * its dlsym(RTLD_NEXT) look-ups answered with the __real_ functions. The shipped
 * programs are linked without any of this.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
/* Every header the shim includes, first, so the renaming below cannot touch the
 * C library's own declarations (the headers are guarded against a second pass). */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

int __real_ioctl(int fd, unsigned long request, ...);
int __real_tcgetattr(int fd, struct termios *t);
int __real_tcsetattr(int fd, int when, const struct termios *t);
int __real_tcflush(int fd, int queue);
int __real_close(int fd);

/* What the shim asks the dynamic loader for, from the static link instead. */
static void *static_lookup(const char *name)
{
    if (strcmp(name, "ioctl") == 0)
        return (void *)__real_ioctl;
    if (strcmp(name, "tcgetattr") == 0)
        return (void *)__real_tcgetattr;
    if (strcmp(name, "tcsetattr") == 0)
        return (void *)__real_tcsetattr;
    if (strcmp(name, "tcflush") == 0)
        return (void *)__real_tcflush;
    if (strcmp(name, "close") == 0)
        return (void *)__real_close;
    return NULL;
}

#define dlsym(handle, name) static_lookup(name)
#define ioctl __wrap_ioctl
#define tcgetattr __wrap_tcgetattr
#define tcsetattr __wrap_tcsetattr
#define tcflush __wrap_tcflush
#define close __wrap_close

#include "serialshim.c"
