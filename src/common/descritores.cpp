// Closed standard descriptors, see descritores.h.
#include "descritores.h"

#include <cerrno>
#include <fcntl.h>

int reabrirdescritores(int modo)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free number: with every lower one open by
        // now, that is fd.
        if (open("/dev/null", modo) == -1)
            return -1;
    }
    return 0;
}
