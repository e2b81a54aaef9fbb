#!/usr/bin/env python3
# The signing gate, run before a signed release is packed:
#     release/gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S
# SIGN_TSA_ROOT (if not SIGN_ROOT) and SIGN_CRL may be "". It writes
# SIGNED_EXE's signature to P7S, whole, once SIGNED_EXE is BUILT_EXE with that
# signature attached, openssl passes each signer's chain (the primary
# signature's and each nested one's) as Windows would, and osslsigncode
# verifies its signatures and timestamps up to the roots. Otherwise it says
# why in one line and exits 1.
import http.client, os, pathlib, signal, ssl, subprocess, sys, tempfile, urllib.request

sys.dont_write_bytecode = True  # (it leaves nothing in the source tree)
import pe


LIMIT = 1 << 20  # bytes of a CRL fetched
NESTED = bytes.fromhex("060a2b060104018237020401")  # the attribute of a nested signature, OID 1.3.6.1.4.1.311.2.4.1


class Refusal(Exception):
    """Why SIGNED_EXE's signature is not written."""


def escape(text):
    """text, with its control characters (a certificate's names and a path may hold any) written out."""
    return "".join(character if character.isprintable() else repr(character)[1:-1] for character in text)


def run(*command, input=b""):
    return subprocess.run(command, input=input, capture_output=True)


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


class Redirect(urllib.request.HTTPRedirectHandler):
    """Follows a redirect to HTTP or HTTPS only."""

    def redirect_request(self, request, reply, code, message, headers, url):
        if not url.startswith(("http://", "https://")):
            raise ValueError(f"a redirect to {url}")
        return super().redirect_request(request, reply, code, message, headers, url)


def too_long(signal_number, frame):
    raise TimeoutError("a CRL's fetching took over 30 s")


def fetch(urls):
    """The CRLs published at urls over HTTP or HTTPS (in DER, as a certificate's are), in PEM; none of those that
    cannot be had in 30 s and 1 MiB each."""
    signal.signal(signal.SIGALRM, too_long)
    crls = b""
    for url in (url for url in urls if url.startswith(("http://", "https://"))):
        try:
            signal.alarm(30)
            with urllib.request.build_opener(Redirect).open(url, timeout=30) as reply:
                crl = reply.read(LIMIT + 1)
            crls += run("openssl", "crl", "-inform", "DER", input=crl).stdout if len(crl) <= LIMIT else b""
        except (OSError, ValueError, http.client.HTTPException):
            pass
        finally:
            signal.alarm(0)
    return crls


def signatures(der, nested=False):
    """Each signature in the PKCS #7 der, the primary and those nested in it (in it alone, as Authenticode nests
    them), as (the certificates it carries, its signer's issuer and serial number), in DER."""
    (_, _, content), = pe.elements(der)  # ContentInfo: signedData, [0] SignedData
    _, (_, _, explicit) = pe.elements(content)
    (_, _, signed_data), = pe.elements(explicit)
    parts = list(pe.elements(signed_data))
    certificates = [whole for tag, _, contents in parts if tag == 0xA0 for _, whole, _ in pe.elements(contents)]
    for _, _, signer in pe.elements(parts[-1][2]):
        fields = list(pe.elements(signer))
        yield certificates, fields[1][2]
        for tag, _, attributes in fields:  # the unsigned ones, [1]
            for _, _, attribute in pe.elements(attributes) if tag == 0xA1 else ():
                (_, kind, _), (_, _, values) = pe.elements(attribute)
                for _, inner, _ in pe.elements(values) if kind == NESTED else ():
                    if nested:
                        raise ValueError("a signature nested in a nested one")
                    yield from signatures(inner, nested=True)


def chain(certificates, signer):
    """The signer's certificate (the one of certificates with its serial number, which has its issuer too) and those
    that issue it in turn, by name, up to ten."""
    fields = {}  # each certificate's serial number, signature algorithm, issuer, validity and subject
    for certificate in certificates:
        (_, _, body), = pe.elements(certificate)
        fields[certificate] = [whole for tag, whole, _ in pe.elements(list(pe.elements(body))[0][2]) if tag != 0xA0][:5]
    issuer, serial = (whole for _, whole, _ in pe.elements(signer))
    links = [certificate for certificate, named in fields.items() if named[0] == serial]
    if len(links) != 1 or fields[links[0]][2] != issuer:  # (one alone: openssl, which matches names loosely, takes it)
        raise ValueError("no one certificate of its signer")
    while len(links) < 10 and (above := next((certificate for certificate, named in fields.items()
                                              if named[4] == fields[links[-1]][2] and certificate not in links), None)):
        links.append(above)
    return links


def check_chains(der, root, crl_file, work):
    """openssl judges each certificate of each signer's chain, as Windows would: at its security level 2, a key of
    112-bit strength or more (RSA from 2048 bits) and a signature digested with SHA-224 or stronger (but for a root's
    own); and, where it names CRLs, not revoked in its issuer's, from SIGN_CRL or else fetched. The other
    certificates a signature carries are not judged. Returns the file of those CRLs, where any certificate names some."""
    try:
        chains = [chain(certificates, signer) for certificates, signer in signatures(der)]
    except (ValueError, IndexError):
        raise Refusal(f"has a signature that does not verify up to {root}")
    judged = [ssl.DER_cert_to_PEM_cert(certificate).encode() for certificate in dict.fromkeys(sum(chains, []))]
    untrusted, crls, revocable = pathlib.Path(work, "chain.pem"), pathlib.Path(work, "crls.pem"), False
    untrusted.write_bytes(b"".join(judged))
    crls.write_bytes(pathlib.Path(crl_file).read_bytes() if crl_file else b"")
    for certificate in judged:
        points = run("openssl", "x509", "-noout", "-ext", "crlDistributionPoints", input=certificate).stdout
        urls = [word.removeprefix("URI:") for word in points.decode().split() if word.startswith("URI:")]
        with crls.open("ab") as file:
            file.write(fetch(urls))
        revocable |= bool(urls)
        revocation = ["-crl_check", *(["-CRLfile", crls] if crls.stat().st_size else [])] if urls else []
        verified = run("openssl", "verify", "-no_check_time", "-auth_level", "2", "-CAfile", root, "-untrusted",
                       untrusted, *revocation, input=certificate)
        lines = verified.stderr.decode(errors="replace").splitlines()
        for subject, error in zip(lines, lines[1:]):  # (openssl names the certificate, then what stopped it)
            why = error.partition(" depth lookup: ")[2]
            if why == "certificate signature failure":  # (a certificate changed since its issuer signed it)
                raise Refusal(f"has a signature that does not verify up to {root}")
            if why == "unable to get certificate CRL":
                raise Refusal(f"has a certificate ({subject}) whose CRL is not in SIGN_CRL and cannot be fetched "
                              "from " + " or ".join(urls))
            if why:
                raise Refusal(f"has a certificate that openssl refuses ({subject}: {why})")
        if verified.returncode:
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
    """Writes the signature to P7S, whole or not at all, making its folder (release/signatures/, say)."""
    part = f"{p7s}.part"
    try:
        os.makedirs(os.path.dirname(os.path.abspath(p7s)), exist_ok=True)
        pathlib.Path(part).write_bytes(der)
        os.replace(part, p7s)
    except OSError as error:
        pathlib.Path(part).unlink(missing_ok=True)
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
            crls = check_chains(der, root, crl_file, work)
            report = check_signatures(signed, root, tsa_root, crls)
        write(p7s, der)
    except Refusal as refusal:
        sys.exit(escape(f"{signed} {refusal}: its signature is not written"))
    except OSError as error:  # (a full or unwritable temporary folder, say)
        sys.exit(escape(f"{signed} cannot be judged here ({error.strerror}): its signature is not written"))
    if report.count("Timestamp Server Signature verification: ok") < report.count("\nSignature Index:"):
        print(escape(f"{signed} has a signature without a timestamp: it lapses when its certificate expires"), file=sys.stderr)


if __name__ == "__main__":
    main()
