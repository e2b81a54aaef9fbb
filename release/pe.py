# Where an exe keeps its Authenticode signature, and how one is attached: the
# PE/COFF attribute certificate table, one WIN_CERTIFICATE long.
import struct

SIGNED_DATA = b"\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02"  # the OID of PKCS#7 SignedData, in DER


def machine(exe):
    """"x86" or "x64", or None where exe is no PE file of either kind."""
    pe = int.from_bytes(exe[0x3C:0x40], "little")
    kind = {b"\x4c\x01": "x86", b"\x64\x86": "x64"}.get(exe[pe + 4:pe + 6])
    return kind if exe[:2] == b"MZ" and exe[pe:pe + 4] == b"PE\0\0" and len(exe) > pe + 200 else None


def directory(exe):
    """The offsets of the image checksum and of the security directory's entry."""
    optional = int.from_bytes(exe[0x3C:0x40], "little") + 24
    return optional + 64, optional + (112 if exe[optional:optional + 2] == b"\x0b\x02" else 96) + 4 * 8  # PE32+ or PE32


def length(der):
    """The length of the DER element that der begins with."""
    size = der[1] & 0x7F if der[1:2] >= b"\x80" else 0
    return 2 + size + int.from_bytes(der[2:2 + size] if size else der[1:2], "big")


def is_signature(der):
    """Whether der is one PKCS#7 SignedData and nothing more, as a .p7s holds it."""
    return der[:1] == b"\x30" and length(der) == len(der) and der.find(SIGNED_DATA, 0, 20) in range(2, 7)


def signature(exe):
    """exe's signature, and how many bytes follow its table; (None, 0) where it has none."""
    offset, size = struct.unpack_from("<II", exe, directory(exe)[1]) if machine(exe) else (0, 0)
    table = exe[offset + 8:offset + size]
    return (table[:length(table)], len(exe) - offset - size) if size > 8 else (None, 0)


def attach(exe, der):
    """exe with the signature der attached, as signing tools attach it."""
    exe = bytearray(exe + bytes(-len(exe) % 8))
    table = der + bytes(-len(der) % 8)
    checksum, entry = directory(exe)
    struct.pack_into("<II", exe, entry, len(exe), 8 + len(table))
    exe += struct.pack("<IHH", 8 + len(table), 0x0200, 2) + table  # revision 2.0, PKCS_SIGNED_DATA
    total = sum(struct.unpack(f"<{len(exe) // 2}H", exe)) - sum(struct.unpack_from("<2H", exe, checksum))  # (its own field aside)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", exe, checksum, total + len(exe))
    return bytes(exe)
