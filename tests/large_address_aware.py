#!/usr/bin/env python3
"""large_address_aware.py ZIP: exits 0 when the 32-bit Windows program in the
zip (its bin/vandrel.exe) is marked large-address-aware in its PE header, so
that 64-bit Windows gives it 4 GiB of address space instead of 2; 1 otherwise."""
import struct
import sys
import zipfile

I386 = 0x14C
LARGE_ADDRESS_AWARE = 0x0020


def main():
    with zipfile.ZipFile(sys.argv[1]) as z:
        name = next(n for n in z.namelist() if n.endswith("bin/vandrel.exe"))
        exe = z.read(name)
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    if exe[:2] != b"MZ" or exe[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{name}: not a PE file")
    machine, = struct.unpack_from("<H", exe, pe + 4)
    characteristics, = struct.unpack_from("<H", exe, pe + 22)
    print(f"{name}: machine {machine:#x}, characteristics {characteristics:#06x}")
    if machine != I386 or not characteristics & LARGE_ADDRESS_AWARE:
        sys.exit(f"{name}: not a large-address-aware 32-bit x86 program")


if __name__ == "__main__":
    main()
