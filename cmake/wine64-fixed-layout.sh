#!/bin/sh
# Runs Debian's wine64 with address-space randomisation off (setarch -R), for
# it and for every process it starts: the test suites' way of running the
# Windows programs.
#
# wine64 is a program at a fixed address (0x7d000000), and the kernel may
# start its heap at a random place up to 1 GiB above it (Linux 6.18 does).
# Now and then the heap lands on 0x7ffe0000, where Wine must map its shared
# user data; the new process then dies as it starts ("failed to map the
# shared user data: c0000018"), and the program that started it sees it fail
# to start. Laid out without randomisation, the heap begins right after
# wine64 and never meets that page. Where the personality cannot be set (a container's
# seccomp rules), Wine runs as it is.
wine=/usr/lib/wine/wine64
if setarch -R true 2>/dev/null; then
  exec setarch -R "$wine" "$@"
fi
exec "$wine" "$@"
