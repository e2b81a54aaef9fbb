#!/usr/bin/env python3
# Where an exe keeps its Authenticode signature, and how one is attached: the
# PE/COFF attribute certificate table, one WIN_CERTIFICATE long. Run as
#     pe.py EXE P7S
# it attaches the signature in P7S to EXE, in place, as a release is packed;
# where P7S is no signature, it says so in a line, and exits 1.
import os, pathlib, stat, struct, sys

LIMIT = 16 << 20  # bytes of a signature read: a release's is a few KiB


def read(path, limit):
    """The file's bytes: OSError where it cannot be read, ValueError where it is no file (a FIFO, say, which opens at
    once) or holds over limit bytes, of which no more are read."""
    with open(os.open(path, os.O_RDONLY | os.O_NONBLOCK), "rb") as file:
        if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            raise ValueError("is not a file")
        data = file.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"is over {limit >> 20} MiB")
    return data


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
    return table[:next(elements(table))[2]], len(exe) - offset - size


def elements(der, start=0, end=None):
    """Each DER element from start to end, as its tag and where its value starts and ends. ValueError where one is
    cut short or not in DER (its length indefinite, or longer than need be; its tag more than a byte)."""
    end = len(der) if end is None else end
    while start < end:
        tag, first = der[start], der[start + 1] if start + 1 < end else 0x80
        count = first & 0x7F if first & 0x80 else 0  # (a long form's bytes of length)
        value = start + 2 + count
        length = int.from_bytes(der[start + 2:value], "big") if count else first
        if tag & 0x1F == 0x1F or first == 0x80 or value + length > end or count and (length < 0x80 or der[start + 2] == 0):
            raise ValueError("a signature cut short, or not in DER")
        yield tag, value, value + length
        start = value + length


def inside(der, start, end, *tags):
    """The elements from start to end, where the first ones have these tags; ValueError where they have not."""
    found = list(elements(der, start, end))
    if [tag for tag, _, _ in found[:len(tags)]] != list(tags):
        raise ValueError("not a PKCS #7 SignedData")
    return found


def signers(der):
    """For each SignerInfo of der, a PKCS #7 SignedData, the types of its unsigned attributes' values (OIDs, as DER
    holds them), walked as they nest: ContentInfo, SignedData, signerInfos (its last field), SignerInfo, [1]
    unsignedAttrs (its last, where it has them). ValueError where der is no SignedData."""
    (_, start, end), = inside(der, 0, len(der), 0x30)
    (_, oid, kind), (_, start, end) = inside(der, start, end, 0x06, 0xA0)
    (_, start, end), = inside(der, start, end, 0x30)
    *_, (last, start, end) = inside(der, start, end, 0x02, 0x31, 0x30)
    if der[oid:kind] != bytes.fromhex("2a864886f70d010702") or last != 0x31:  # (1.2.840.113549.1.7.2, SignedData)
        raise ValueError("not a PKCS #7 SignedData")
    found = []
    for _, start, end in inside(der, start, end):
        *_, (last, start, end) = inside(der, start, end, 0x02)
        types = []
        for _, start, end in inside(der, start, end) if last == 0xA1 else []:
            (_, oid, values), (_, start, end) = inside(der, start, end, 0x06, 0x31)
            types += [der[oid:values]] * len(inside(der, start, end))
        found.append(types)
    return found


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
        der = read(p7s, LIMIT)
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
