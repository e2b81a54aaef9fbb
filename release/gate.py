#!/usr/bin/env python3
# The signing gate, which cpack runs before it packs a signed release:
#     gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S
# It writes SIGNED_EXE's signature to P7S once SIGNED_EXE is BUILT_EXE with
# that signature attached, openssl passes its signer's chain as Windows
# would, and osslsigncode verifies its signatures and timestamps up to the
# roots. Otherwise it says why in one line and exits 1, having emptied
# cpack's staging folder (which cpack compresses even so).
import http.client, os, pathlib, shutil, subprocess, sys, tempfile, urllib.request

sys.dont_write_bytecode = True  # (it leaves nothing in the source tree)
import pe


class Refusal(Exception):
    """Why SIGNED_EXE is not packed."""


def run(*command, input=b""):
    return subprocess.run(command, input=input, capture_output=True)


def write(folder, name, data):
    path = os.path.join(folder, name)
    pathlib.Path(path).write_bytes(data)
    return path


def pem_blocks(kind, text):
    """The PEM blocks of a kind (CERTIFICATE, X509 CRL) in text, which may be openssl's output."""
    begin, end = f"-----BEGIN {kind}-----".encode(), f"-----END {kind}-----\n".encode()
    return [begin + block.split(end)[0] + end for block in text.split(begin)[1:] if end in block]


def check_inputs(signed, root, tsa_root, crl_file):
    """The files named exist, the roots are roots (which verify by themselves, in PEM, as osslsigncode
    reads them), and SIGN_CRL holds PEM CRLs."""
    for name, path in [("SIGNED_EXE", signed), ("SIGN_ROOT", root), ("SIGN_TSA_ROOT", tsa_root), ("SIGN_CRL", crl_file)]:
        judge = ["crl", "-noout", "-in"] if name == "SIGN_CRL" else ["verify", "-no_check_time", "-CAfile", path]
        if (path or name == "SIGN_ROOT") and not os.path.isfile(path):
            raise Refusal(f"cannot be judged: {name} ({path or 'not set'}) does not exist")
        if path and name != "SIGNED_EXE" and run("openssl", *judge, path).returncode:
            kind = "PEM CRLs" if name == "SIGN_CRL" else "a root certificate (self-signed, in PEM)"
            raise Refusal(f"cannot be judged: {name} ({path}) is not {kind}")


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


def certificates(der):
    """The certificates of each SignedData in der: the signature's own, then its timestamps' and nested
    signatures'. An asn1parse line of the SignedData's OID follows the line of the element it opens."""
    listing = run("openssl", "asn1parse", "-inform", "DER", input=der).stdout.decode().splitlines()
    chains = []
    for element, content_type in zip(listing, listing[1:]):  # "0:d=0  hl=4 l=1439 cons: SEQUENCE"
        if content_type.endswith(":pkcs7-signedData"):
            start, _, header, size = element.split("=", 3)
            if "inf" in size:  # (a length left open, which DER does not allow)
                raise Refusal("has a signature whose certificates openssl cannot read")
            start = int(start.split(":")[0])
            signed_data = der[start:start + int(header.split()[0]) + int(size.split()[0])]
            chains.append(pem_blocks("CERTIFICATE", run("openssl", "pkcs7", "-inform", "DER", "-print_certs",
                                                        input=signed_data).stdout))
    if not chains or not chains[0]:
        raise Refusal("has a signature whose certificates openssl cannot read")
    return chains


def fetch(url):
    """The CRL published at url (in DER, as a certificate's CRL is), in PEM; nothing where it cannot be had."""
    try:
        with urllib.request.urlopen(url, timeout=30) as reply:
            return run("openssl", "crl", "-inform", "DER", input=reply.read()).stdout
    except (OSError, ValueError, http.client.HTTPException):
        return b""


def revocation_lists(chains, crl_file):
    """SIGN_CRL's CRLs, with those fetched for the certificates whose issuers' CRLs it lacks; and whether
    each chain names CRLs."""
    crls = pathlib.Path(crl_file).read_bytes() if crl_file else b""
    issuers = {run("openssl", "crl", "-noout", "-issuer", input=crl).stdout.strip() for crl in pem_blocks("X509 CRL", crls)}
    revocable = [False] * len(chains)
    for index, chain in enumerate(chains):
        for certificate in chain:
            subject, issuer, points = run("openssl", "x509", "-noout", "-subject", "-issuer", "-ext", "crlDistributionPoints",
                                          input=certificate).stdout.decode().split("\n", 2)
            urls = [word.removeprefix("URI:") for word in points.split() if word.startswith("URI:")]
            revocable[index] |= bool(urls)
            for url in urls if issuer.encode() not in issuers else []:
                crl = fetch(url)
                crls, issuers = crls + crl, issuers | ({issuer.encode()} if crl else set())
            if urls and issuer.encode() not in issuers:
                raise Refusal(f"has a certificate ({subject.removeprefix('subject=')}) whose CRL is not in SIGN_CRL "
                              "and cannot be fetched from " + " or ".join(urls))
    return crls, revocable


def check_chain(chain, files, revocable):
    """openssl judges the signer's chain as Windows would: keys of 112-bit strength (RSA of 2048 bits or more),
    certificates signed with SHA-256 or stronger (but for a root's own), none revoked."""
    for certificate in chain:
        judged = run("openssl", "verify", "-no_check_time", "-auth_level", "2", "-CAfile", files["roots"], "-untrusted",
                     files["chain"], *(["-crl_check_all", "-CRLfile", files["crls"]] if revocable else []), input=certificate)
        lines = judged.stderr.decode(errors="replace").splitlines()
        for subject, error in zip(lines, lines[1:]):  # (openssl names the certificate, then the error that stopped it)
            why = error.partition(" depth lookup: ")[2]
            if why == "certificate signature failure":  # (a certificate changed since its issuer signed it)
                raise Refusal(f"has a signature that does not verify up to {files['root']}")
            if why:
                raise Refusal(f"has a certificate that openssl refuses ({subject}: {why})")
        if judged.returncode:
            raise Refusal("has a certificate that openssl refuses")


def check_signatures(signed, files, revocable):
    """osslsigncode verifies each signature and timestamp up to the roots, digested with SHA-256 or stronger
    (Windows takes a SHA-1 timestamp for none); returns its report."""
    verified = run("osslsigncode", "verify", "-in", signed, "-CAfile", files["root"], "-TSA-CAfile", files["tsa_root"],
                   *(["-CRLfile", files["crls"]] if revocable[0] else []),
                   *(["-TSA-CRLfile", files["crls"]] if any(revocable[1:]) else []))
    report = verified.stdout.decode(errors="replace")
    if verified.returncode:
        raise Refusal(f"has a signature that does not verify up to {files['root']}")
    if "Timestamp Server Signature verification: failed" in report:  # (which verify lets pass)
        raise Refusal(f"has a timestamp that does not verify up to {files['tsa_root']}")
    for line in report.splitlines():
        what, _, digest = (part.strip() for part in line.partition(":"))
        if what in ("Message digest algorithm", "Hash Algorithm") and digest.upper() not in ("SHA256", "SHA384", "SHA512"):
            raise Refusal(f"{'is' if what[0] == 'M' else 'has a timestamp'} signed with {digest}, "
                          "where SHA-256 or stronger is needed")
    return report


def judge(signed, built, root, tsa_root, crl_file):
    """SIGNED_EXE's signature, once every check has passed."""
    check_inputs(signed, root, tsa_root, crl_file)
    der = check_program(pathlib.Path(signed).read_bytes(), pathlib.Path(built).read_bytes())
    chains = certificates(der)
    crls, revocable = revocation_lists(chains, crl_file)
    with tempfile.TemporaryDirectory() as work:
        roots = pathlib.Path(root).read_bytes() + b"\n" + pathlib.Path(tsa_root).read_bytes()
        files = {"root": root, "tsa_root": tsa_root, "roots": write(work, "roots.pem", roots),
                 "chain": write(work, "chain.pem", b"".join(chains[0])), "crls": write(work, "crls.pem", crls)}
        check_chain(chains[0], files, revocable[0])
        report = check_signatures(signed, files, revocable)
    if report.count("Timestamp Server Signature verification: ok") < report.count("\nSignature Index:"):
        print(f"{signed} has a signature without a timestamp: it lapses when its certificate expires", file=sys.stderr)
    return der


def main():
    signed, built, root, tsa_root, crl_file, p7s = sys.argv[1:]
    try:
        der = judge(signed, built, root, tsa_root or root, crl_file)
    except Refusal as refusal:
        shutil.rmtree(os.path.dirname(built))
        sys.exit(f"{signed} {refusal}: nothing is packed")
    pathlib.Path(p7s).write_bytes(der)


if __name__ == "__main__":
    main()
