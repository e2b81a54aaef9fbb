#!/usr/bin/env python3
# Where an exe keeps its Authenticode signature, and how one is attached: the
# PE/COFF attribute certificate table, one WIN_CERTIFICATE long. Run as
#     pe.py EXE P7S
# it attaches the signature in P7S to EXE, in place, as a release is packed;
# where P7S is no signature, it says so in a line, and exits 1.
import pathlib, struct, sys

LIMIT = 16 << 20  # bytes of a signature read: a release's is a few KiB


def machine(exe):
    """"x86" or "x64", or None where exe is no PE file of either kind."""
    pe = int.from_bytes(exe[0x3C:0x40], "little")
    kind = {b"\x4c\x01": "x86", b"\x64\x86": "x64"}.get(exe[pe + 4:pe + 6])
    return kind if exe[:2] == b"MZ" and exe[pe:pe + 4] == b"PE\0\0" and len(exe) > pe + 200 else None


def directory(exe):
    """The offsets of the image checksum and of the security directory's entry."""
    optional = int.from_bytes(exe[0x3C:0x40], "little") + 24
    return optional + 64, optional + (112 if exe[optional:optional + 2] == b"\x0b\x02" else 96) + 4 * 8  # PE32+ or PE32


def signature(exe):
    """exe's signature, and how many bytes follow its table; (None, 0) where it has none. ValueError where the
    signature is cut short or not in DER (its length indefinite, or longer than need be)."""
    offset, size = struct.unpack_from("<II", exe, directory(exe)[1]) if machine(exe) else (0, 0)
    table = exe[offset + 8:offset + size]
    if size <= 8 or len(table) < 2:
        return None, 0
    first = table[1]
    count = first & 0x7F if first & 0x80 else 0  # (a long form's bytes of length)
    end = 2 + count + (int.from_bytes(table[2:2 + count], "big") if count else first)
    if end > len(table) or first == 0x80 or count and (end - 2 - count < 0x80 or table[2] == 0):
        raise ValueError("a signature cut short, or not in DER")
    return table[:end], len(exe) - offset - size


def attach(exe, der):
    """exe with the signature der attached, as signing tools attach it, in place of any it has."""
    checksum, entry = directory(exe)
    exe = exe[:int.from_bytes(exe[entry:entry + 4], "little") or len(exe)]
    exe = bytearray(exe + bytes(-len(exe) % 8))
    table = der + bytes(-len(der) % 8)
    struct.pack_into("<II", exe, entry, len(exe), 8 + len(table))
    exe += struct.pack("<IHH", 8 + len(table), 0x0200, 2) + table  # revision 2.0, PKCS_SIGNED_DATA
    total = sum(struct.unpack(f"<{len(exe) // 2}H", exe)) - sum(struct.unpack_from("<2H", exe, checksum))  # (its own field aside)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", exe, checksum, total + len(exe))
    return bytes(exe)


def main():
    exe, p7s = sys.argv[1:]
    try:
        with open(p7s, "rb") as file:
            der = file.read(LIMIT + 1)
        signed = attach(pathlib.Path(exe).read_bytes(), der)
        whole = der[:1] == b"\x30" and signature(signed)[0] == der  # (one DER SEQUENCE, and nothing after it)
    except OSError as error:
        sys.exit(f"{p7s} cannot be read ({error.strerror}): timerhold.exe is not signed")
    except ValueError:
        whole = False
    if not whole:
        sys.exit(f"{p7s} is not a signature (one DER SEQUENCE of at most 16 MiB): timerhold.exe is not signed")
    pathlib.Path(exe).write_bytes(signed)


if __name__ == "__main__":
    main()
