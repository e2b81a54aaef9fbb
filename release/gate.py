#!/usr/bin/env -S python3 -I
# The signing gate, run before a signed release is packed:
#     release/gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S
# SIGN_TSA_ROOT (if not SIGN_ROOT) and SIGN_CRL may be "". It writes the one
# signature SIGNED_EXE carries to P7S, once SIGNED_EXE is BUILT_EXE with it
# attached and osslsigncode verifies BUILT_EXE with it attached (as cpack
# attaches it), and its timestamp, up to the roots, neither signer revoked by
# SIGN_CRL, which then holds the CRLs of both their issuers. Otherwise it says
# why in one line, naming files by their roles, and exits 1. It reads each file
# once: the tools read copies in a folder of its own, for 60 s at most each.
# Whether Windows trusts the signature is for Windows to judge.
# (Run isolated, -I: nothing of the caller's Python environment reaches it.)
import os, signal, subprocess, sys, tempfile

sys.dont_write_bytecode = True  # (it leaves nothing in the source tree)
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
try:
    import pe
except ImportError:
    sys.exit("gate.py cannot find its source, release/pe.py beside it: run release/gate.py in timerhold's tree")

LIMIT = 16 << 20  # bytes of a file read: a release's exe is a few KiB, a CRL seldom over a few MiB
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
NESTED = bytes.fromhex("2b060104018237020401")  # 1.3.6.1.4.1.311.2.4.1
TIMESTAMPS = {bytes.fromhex("2b060104018237030301"), bytes.fromhex("2a864886f70d010906")}  # RFC 3161's, and the older
VERDICTS = {  # whole lines of osslsigncode's report, as 2.5 and 2.9 print them, that refuse: the most telling first
    "Signature CRL verification: failed": "has a signer's certificate that is revoked, or whose CRL is missing",
    "Timestamp Server Signature CRL verification: failed": "has a timestamp's certificate that is revoked, or whose CRL is missing",
    "Timestamp Server Signature verification: failed": "has a timestamp that does not verify up to SIGN_TSA_ROOT",
    "Signature verification: failed": "has a signature that does not verify up to SIGN_ROOT",
}


class Refusal(Exception):
    """Why SIGNED_EXE's signature is not written."""


def stop(number, frame):
    raise Refusal(f"was not judged: {signal.Signals(number).name} stopped the gate")


def run(*command):
    """What the tool says, on either output, and its exit status; past 60 s its process group is killed."""
    tool = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, process_group=0)
    try:
        return tool.communicate(timeout=60)[0].decode(errors="replace").splitlines(), tool.returncode
    except subprocess.TimeoutExpired:
        raise Refusal(f"cannot be judged: {command[0]} gave no answer in 60 s")
    finally:
        if tool.returncode is None:  # (a signal, or no answer: not yet reaped, so the group is still its own)
            os.killpg(tool.pid, signal.SIGKILL)
            tool.wait()


def read(name, path):
    """The file's bytes, up to LIMIT."""
    try:
        return pe.read(path, LIMIT)
    except OSError as error:
        raise Refusal(f"cannot be judged: {name} cannot be read ({error.strerror})")
    except ValueError as error:  # (not a file, or over LIMIT)
        raise Refusal(f"cannot be judged: {name} {error}")


def check_program(exe, built):
    """Returns exe's signature, and whether it has a timestamp, once exe is the built program with that one
    signature attached: nothing more, nothing else. What the signature holds is read from its DER, never from
    osslsigncode's report, which prints what a signer wrote."""
    try:
        der, after = pe.signature(exe)
        signers = der and after >= 0 and pe.signers(der)
    except ValueError:
        der, after = True, -1
    if not der or after:
        raise Refusal("has no signature" if not der else f"has {after} bytes after its signature" if after > 0 else
                      "has a signature cut short, or no PKCS #7 SignedData in DER")
    if len(signers) != 1 or NESTED in signers[0]:
        raise Refusal("has more than one signature, where a release carries one")
    if pe.machine(exe) != pe.machine(built):
        raise Refusal(f"is the {pe.machine(exe)} timerhold.exe, not the {pe.machine(built)} one")
    if pe.attach(exe, der) != pe.attach(built, der):  # (each with its checksum made anew, which damage leaves stale)
        raise Refusal("is not this build's timerhold.exe with a signature added")
    return der, not TIMESTAMPS.isdisjoint(signers[0])


def copy(folder, name, data):
    """data, written to folder/name for a tool to read (a path no tool takes for an option)."""
    with open(os.path.join(folder, name), "wb") as file:
        file.write(data)
    return file.name


def check_roots(folder, root, tsa_root, crl):
    """Copies of SIGN_ROOT, SIGN_TSA_ROOT and SIGN_CRL, once the roots are roots (which verify by themselves, in PEM,
    as osslsigncode reads them) and SIGN_CRL holds PEM CRLs."""
    copies = {name: copy(folder, name, read(name, path)) for name, path in
              [("SIGN_ROOT", root), ("SIGN_TSA_ROOT", tsa_root), ("SIGN_CRL", crl)] if path or name == "SIGN_ROOT"}
    for name in ("SIGN_ROOT", "SIGN_TSA_ROOT"):
        if name in copies and run("openssl", "verify", "-no_check_time", "-CAfile", copies[name], copies[name])[1]:
            raise Refusal(f"cannot be judged: {name} is not a root certificate (self-signed, in PEM)")
    if "SIGN_CRL" in copies and run("openssl", "crl", "-noout", "-in", copies["SIGN_CRL"])[1]:
        raise Refusal("cannot be judged: SIGN_CRL is not PEM CRLs")
    return copies["SIGN_ROOT"], copies.get("SIGN_TSA_ROOT", copies["SIGN_ROOT"]), copies.get("SIGN_CRL")


def check_signature(exe, stamped, root, tsa_root, crl):
    """osslsigncode verifies the exe's signature and timestamp up to the roots, digested with SHA-256 or stronger
    (Windows takes a SHA-1 timestamp for none). Only its exit status passes; a line of its report only refuses,
    and only where the whole line is a verdict."""
    lines, status = run("osslsigncode", "verify", "-in", exe, "-CAfile", root, "-TSA-CAfile", tsa_root,
                        *(["-CRLfile", crl, "-TSA-CRLfile", crl] if crl else []))
    lines = [line.strip() for line in lines]
    for line, verdict in VERDICTS.items():
        if line in lines:
            raise Refusal(verdict)
    if stamped and "Timestamp is not available" in lines:  # (one there that it could not read)
        raise Refusal(VERDICTS["Timestamp Server Signature verification: failed"])
    if status:
        raise Refusal(VERDICTS["Signature verification: failed"])
    for line in lines:
        what, _, digest = (part.strip() for part in line.partition(":"))
        if what in ("Message digest algorithm", "Hash Algorithm") and digest.upper() not in ("SHA256", "SHA384", "SHA512"):
            raise Refusal(f"{'is' if what[0] == 'M' else 'has a timestamp'} signed with {digest}, "
                          "where SHA-256 or stronger is needed")


def write(p7s, der):
    """Writes the signature to P7S, whole or not at all, making its folder (release/signatures/, say): to a file
    of its own, new, then renamed over P7S (a symlink there is replaced, not followed)."""
    part = None
    try:
        os.makedirs(os.path.dirname(p7s), exist_ok=True)
        descriptor, part = tempfile.mkstemp(dir=os.path.dirname(p7s), prefix=os.path.basename(p7s) + ".")
        with open(descriptor, "wb") as file:
            os.fchmod(descriptor, 0o644)  # (as any file of the tree, where mkstemp gives 0600)
            file.write(der)
        os.replace(part, p7s)
    except OSError as error:
        if part:
            os.unlink(part)
        raise Refusal(f"passes, but P7S cannot be written ({error.strerror})")


def main():
    if len(sys.argv) != 7:
        sys.exit("usage: release/gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S")
    for number in STOPS:
        signal.signal(number, stop)
    signed, built, root, tsa_root, crl, p7s = sys.argv[1:]
    try:
        with tempfile.TemporaryDirectory() as folder:
            der, stamped = check_program(read("SIGNED_EXE", signed), built := read("BUILT_EXE", built))
            roots = check_roots(folder, root, tsa_root, crl)
            check_signature(copy(folder, "timerhold.exe", pe.attach(built, der)), stamped, *roots)
            signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)  # (from here on the gate ends with P7S written, or says why not)
        write(p7s, der)  # (the signature of the exe verified, which only the gate could write)
    except Refusal as refusal:
        sys.exit(f"SIGNED_EXE {refusal}: its signature is not written")
    except OSError as error:  # (a folder of its own that cannot be made, say)
        sys.exit(f"SIGNED_EXE cannot be judged here ({error.strerror}): its signature is not written")
    if not stamped:
        print("SIGNED_EXE has a signature without a timestamp: it lapses when its certificate expires", file=sys.stderr)


if __name__ == "__main__":
    main()
