#!/usr/bin/env python3
# The signing gate, run before a signed release is packed:
#     release/gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S
# SIGN_TSA_ROOT (if not SIGN_ROOT) and SIGN_CRL may be "". It writes
# SIGNED_EXE's signature to P7S, whole, once SIGNED_EXE is BUILT_EXE with that
# signature attached and osslsigncode verifies each of its signatures, nested
# ones too, and their timestamps up to the roots, none revoked by SIGN_CRL.
# Otherwise it says why in one line and exits 1. Whether Windows trusts the
# signature is for Windows to judge.
import os, signal, subprocess, sys, tempfile

sys.dont_write_bytecode = True  # (it leaves nothing in the source tree)
import pe


LIMIT = 16 << 20  # bytes of an exe read: a release's is a few KiB
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Refusal(Exception):
    """Why SIGNED_EXE's signature is not written."""


def escape(text):
    """text, with its control characters (a certificate's names and a path may hold any) written out."""
    return "".join(character if character.isprintable() else repr(character)[1:-1] for character in text)


def stop(number, frame):
    raise Refusal(f"was not judged: {signal.Signals(number).name} stopped the gate")


def run(*command):
    """What the command says, on either output."""
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def check_inputs(signed, built, root, tsa_root, crl_file):
    """The files named exist, the roots are roots (which verify by themselves, in PEM, as osslsigncode
    reads them), and SIGN_CRL holds PEM CRLs."""
    for name, path in [("SIGNED_EXE", signed), ("BUILT_EXE", built), ("SIGN_ROOT", root), ("SIGN_TSA_ROOT", tsa_root),
                       ("SIGN_CRL", crl_file)]:
        if (path or name != "SIGN_CRL") and not os.path.isfile(path):
            raise Refusal(f"cannot be judged: {name} ({path or 'not set'}) "
                          f"{'is not a file' if os.path.exists(path) else 'does not exist'}")
        if path and not os.access(path, os.R_OK):
            raise Refusal(f"cannot be judged: {name} ({path}) cannot be read")
        if name.endswith("ROOT") and run("openssl", "verify", "-no_check_time", "-CAfile", path, path).returncode:
            raise Refusal(f"cannot be judged: {name} ({path}) is not a root certificate (self-signed, in PEM)")
    if crl_file and run("openssl", "crl", "-noout", "-in", crl_file).returncode:
        raise Refusal(f"cannot be judged: SIGN_CRL ({crl_file}) is not PEM CRLs")


def read(name, path):
    """The exe's bytes, up to LIMIT."""
    with open(path, "rb") as file:
        exe = file.read(LIMIT + 1)
    if len(exe) > LIMIT:
        raise Refusal(f"cannot be judged: {name} ({path}) is over 16 MiB, where a release's exe is a few KiB")
    return exe


def check_program(exe, built):
    """Returns exe's signature, once exe is the built program with it attached: nothing more, nothing else."""
    try:
        der, after = pe.signature(exe)
    except ValueError:
        der, after = True, -1
    if not der or after:
        raise Refusal("has no signature" if not der else f"has {after} bytes after its signature" if after > 0 else
                      "has a signature cut short or not in DER, which does not verify")
    if pe.machine(exe) != pe.machine(built):
        raise Refusal(f"is the {pe.machine(exe)} timerhold.exe, not the {pe.machine(built)} one")
    if pe.attach(exe, der) != pe.attach(built, der):  # (each with its checksum made anew, which damage leaves stale)
        raise Refusal("is not this build's timerhold.exe with a signature added")
    return der


def check_signatures(signed, root, tsa_root, crl_file):
    """osslsigncode verifies each signature and timestamp up to the roots, digested with SHA-256 or stronger
    (Windows takes a SHA-1 timestamp for none); returns how many signatures have no timestamp. Its exit status
    passes a nested signature that fails, so the report is read: only the lines that osslsigncode 2.5 and 2.9 word
    alike."""
    verified = run("osslsigncode", "verify", "-in", signed, "-CAfile", root, "-TSA-CAfile", tsa_root,
                   *(["-CRLfile", crl_file] if crl_file else []))
    report = verified.stdout.decode(errors="replace")
    lines = [line.strip() for line in report.splitlines()]
    if "Timestamp Server Signature verification: failed" in lines:
        raise Refusal(f"has a timestamp that does not verify up to {tsa_root}")
    if "certificate revoked" in report:  # (openssl's words)
        raise Refusal(f"has a signer's certificate revoked by SIGN_CRL ({crl_file})")
    signatures = sum(line.startswith("Signature Index:") for line in lines)
    if verified.returncode or "failed" in report or "MISMATCH" in report or \
            not signatures or lines.count("Signature verification: ok") != signatures:
        raise Refusal(f"has a signature that does not verify up to {root}")
    for line in lines:
        what, _, digest = (part.strip() for part in line.partition(":"))
        if what in ("Message digest algorithm", "Hash Algorithm") and digest.upper() not in ("SHA256", "SHA384", "SHA512"):
            raise Refusal(f"{'is' if what[0] == 'M' else 'has a timestamp'} signed with {digest}, "
                          "where SHA-256 or stronger is needed")
    return signatures - lines.count("Timestamp Server Signature verification: ok")


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
        raise Refusal(f"passes, but P7S ({p7s}) cannot be written ({error.strerror})")


def main():
    if len(sys.argv) != 7:
        sys.exit("usage: release/gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S")
    for number in STOPS:
        signal.signal(number, stop)
    # (each path as ./PATH where it is not absolute, so that no tool reads one as an option)
    signed, built, root, tsa_root, crl_file, p7s = (os.path.join(".", path) if path else "" for path in sys.argv[1:])
    tsa_root = tsa_root or root
    try:
        check_inputs(signed, built, root, tsa_root, crl_file)
        der = check_program(read("SIGNED_EXE", signed), read("BUILT_EXE", built))
        unstamped = check_signatures(signed, root, tsa_root, crl_file)
        signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)  # (from here on the gate ends with P7S written, or says why not)
        write(p7s, der)
    except Refusal as refusal:
        sys.exit(escape(f"{signed} {refusal}: its signature is not written"))
    except OSError as error:  # (a file unreadable after all, say)
        sys.exit(escape(f"{signed} cannot be judged here ({error.strerror}): its signature is not written"))
    if unstamped:
        print(escape(f"{signed} has a signature without a timestamp: it lapses when its certificate expires"), file=sys.stderr)


if __name__ == "__main__":
    main()
