// Whether the program uses the calls only Linux has (unnamed files, swapping
// two names, file flags, mount ids, reserving room, extended attributes): on
// Linux, unless the build leaves them out (VANDREL_WITHOUT_LINUX_CALLS) to
// work as on other POSIX systems, which the tests use to run that way on
// Linux too.
#pragma once

#if defined(__linux__) && !defined(VANDREL_WITHOUT_LINUX_CALLS)
#define VANDREL_LINUX_CALLS 1
#endif
