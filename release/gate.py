#!/usr/bin/env python3
# The signing gate, run before a signed release is packed:
#     release/gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S
# SIGN_TSA_ROOT (if not SIGN_ROOT) and SIGN_CRL may be "". It writes
# SIGNED_EXE's signature to P7S once SIGNED_EXE is BUILT_EXE with that
# signature attached, openssl passes its signer's chain as Windows would, and
# osslsigncode verifies its signatures and timestamps up to the roots.
# Otherwise it says why in one line and exits 1.
import http.client, os, pathlib, subprocess, sys, tempfile, urllib.request

sys.dont_write_bytecode = True  # (it leaves nothing in the source tree)
import pe


class Refusal(Exception):
    """Why SIGNED_EXE's signature is not written."""


def run(*command, input=b""):
    return subprocess.run(command, input=input, capture_output=True)


def check_inputs(signed, built, root, tsa_root, crl_file):
    """The files named exist, the roots are roots (which verify by themselves, in PEM, as osslsigncode
    reads them), and SIGN_CRL holds PEM CRLs."""
    for name, path in [("SIGNED_EXE", signed), ("BUILT_EXE", built), ("SIGN_ROOT", root), ("SIGN_TSA_ROOT", tsa_root),
                       ("SIGN_CRL", crl_file)]:
        if (path or name != "SIGN_CRL") and not os.path.isfile(path):
            raise Refusal(f"cannot be judged: {name} ({path or 'not set'}) does not exist")
        if path and not os.access(path, os.R_OK):
            raise Refusal(f"cannot be judged: {name} ({path}) cannot be read")
        if name.endswith("ROOT") and run("openssl", "verify", "-no_check_time", "-CAfile", path, path).returncode:
            raise Refusal(f"cannot be judged: {name} ({path}) is not a root certificate (self-signed, in PEM)")
    if crl_file and run("openssl", "crl", "-noout", "-in", crl_file).returncode:
        raise Refusal(f"cannot be judged: SIGN_CRL ({crl_file}) is not PEM CRLs")


def check_program(exe, built):
    """Returns exe's signature, once exe is the built program with it attached: nothing more, nothing else."""
    der, after = pe.signature(exe)
    if not der or after:
        raise Refusal(f"has {after} bytes after its signature" if der else "has no signature")
    if pe.machine(exe) != pe.machine(built):
        raise Refusal(f"is the {pe.machine(exe)} timerhold.exe, not the {pe.machine(built)} one")
    if pe.attach(exe, der) != pe.attach(built, der):  # (each with its checksum made anew, which damage leaves stale)
        raise Refusal("is not this build's timerhold.exe with a signature added")
    return der


def fetch(urls):
    """The CRLs published at urls (in DER, as a certificate's are), in PEM; none of those that cannot be had."""
    crls = b""
    for url in urls:
        try:
            with urllib.request.urlopen(url, timeout=30) as reply:
                crls += run("openssl", "crl", "-inform", "DER", input=reply.read()).stdout
        except (OSError, ValueError, http.client.HTTPException):
            pass
    return crls


def check_chain(der, root, crl_file, work):
    """openssl judges each certificate that signs as Windows would: a key of 112-bit strength (RSA of 2048 bits
    or more), signed with SHA-256 or stronger (but for a root's own), and, where it names CRLs, not revoked in
    its issuer's, from SIGN_CRL or else fetched. Returns the file of those CRLs, where any certificate names some."""
    chain = run("openssl", "pkcs7", "-inform", "DER", "-print_certs", input=der).stdout
    end = b"-----END CERTIFICATE-----\n"
    if end not in chain:
        raise Refusal("has a signature whose certificates openssl cannot read")
    untrusted, crls, revocable = pathlib.Path(work, "chain.pem"), pathlib.Path(work, "crls.pem"), False
    untrusted.write_bytes(chain)
    crls.write_bytes(pathlib.Path(crl_file).read_bytes() if crl_file else b"")
    for certificate in chain.split(end)[:-1]:
        points = run("openssl", "x509", "-noout", "-ext", "crlDistributionPoints", input=certificate + end).stdout
        urls = [word.removeprefix("URI:") for word in points.decode().split() if word.startswith("URI:")]
        with crls.open("ab") as file:
            file.write(fetch(urls))
        revocable |= bool(urls)
        revocation = ["-crl_check", *(["-CRLfile", crls] if crls.stat().st_size else [])] if urls else []
        judged = run("openssl", "verify", "-no_check_time", "-auth_level", "2", "-CAfile", root, "-untrusted",
                     untrusted, *revocation, input=certificate + end)
        lines = judged.stderr.decode(errors="replace").splitlines()
        for subject, error in zip(lines, lines[1:]):  # (openssl names the certificate, then what stopped it)
            why = error.partition(" depth lookup: ")[2]
            if why == "certificate signature failure":  # (a certificate changed since its issuer signed it)
                raise Refusal(f"has a signature that does not verify up to {root}")
            if why == "unable to get certificate CRL":
                raise Refusal(f"has a certificate ({subject}) whose CRL is not in SIGN_CRL and cannot be fetched "
                              "from " + " or ".join(urls))
            if why:
                raise Refusal(f"has a certificate that openssl refuses ({subject}: {why})")
        if judged.returncode:
            raise Refusal("has a certificate that openssl refuses")
    return crls if revocable else None


def check_signatures(signed, root, tsa_root, crls):
    """osslsigncode verifies each signature and timestamp up to the roots, digested with SHA-256 or stronger
    (Windows takes a SHA-1 timestamp for none); returns its report."""
    verified = run("osslsigncode", "verify", "-in", signed, "-CAfile", root, "-TSA-CAfile", tsa_root,
                   *(["-CRLfile", crls] if crls else []))
    report = verified.stdout.decode(errors="replace")
    if verified.returncode:
        raise Refusal(f"has a signature that does not verify up to {root}")
    if "Timestamp Server Signature verification: failed" in report:  # (which verify lets pass)
        raise Refusal(f"has a timestamp that does not verify up to {tsa_root}")
    for line in report.splitlines():
        what, _, digest = (part.strip() for part in line.partition(":"))
        if what in ("Message digest algorithm", "Hash Algorithm") and digest.upper() not in ("SHA256", "SHA384", "SHA512"):
            raise Refusal(f"{'is' if what[0] == 'M' else 'has a timestamp'} signed with {digest}, "
                          "where SHA-256 or stronger is needed")
    return report


def write(p7s, der):
    """Writes the signature to P7S, making its folder (release/signatures/, say)."""
    try:
        os.makedirs(os.path.dirname(os.path.abspath(p7s)), exist_ok=True)
        pathlib.Path(p7s).write_bytes(der)
    except OSError as error:
        raise Refusal(f"passes, but P7S ({p7s}) cannot be written ({error.strerror})")


def main():
    if len(sys.argv) != 7:
        sys.exit("usage: release/gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S")
    signed, built, root, tsa_root, crl_file, p7s = sys.argv[1:]
    tsa_root = tsa_root or root
    try:
        check_inputs(signed, built, root, tsa_root, crl_file)
        der = check_program(pathlib.Path(signed).read_bytes(), pathlib.Path(built).read_bytes())
        with tempfile.TemporaryDirectory() as work:
            crls = check_chain(der, root, crl_file, work)
            report = check_signatures(signed, root, tsa_root, crls)
        write(p7s, der)
    except Refusal as refusal:
        sys.exit(f"{signed} {refusal}: its signature is not written")
    if report.count("Timestamp Server Signature verification: ok") < report.count("\nSignature Index:"):
        print(f"{signed} has a signature without a timestamp: it lapses when its certificate expires", file=sys.stderr)


if __name__ == "__main__":
    main()
