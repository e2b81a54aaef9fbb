# The signing gate, which cpack runs before it writes a signed release's zip:
#     gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S
# It puts SIGNED_EXE in place of BUILT_EXE, and its signature in P7S, once it
# is BUILT_EXE with that signature attached, openssl passes its signer's chain
# as Windows would, and osslsigncode verifies its signatures and timestamps up
# to the roots. Otherwise it says why in one line and exits 1.
import os, pathlib, re, shutil, subprocess, sys, tempfile, urllib.request

import pe

signed, built, root, tsa_root, handed, p7s = sys.argv[1:]
tsa_root = tsa_root or root


def refuse(why):
    sys.exit(f"{signed} {why}: nothing is packed")


def run(*command, input=None):
    return subprocess.run(command, input=input, capture_output=True)


def pems(kind, text):
    return re.findall(rb"-----BEGIN %s-----.*?-----END %s-----\n" % (kind, kind), text, re.S)


# The roots must be roots, which verify by themselves, and in PEM, as osslsigncode reads them.
for name, path in [("SIGN_ROOT", root), ("SIGN_TSA_ROOT", tsa_root), ("SIGN_CRL", handed)]:
    if (path or name == "SIGN_ROOT") and not os.path.isfile(path):
        refuse(f"cannot be judged: {name} ({path or 'not set'}) does not exist")
    judge = ["crl", "-noout", "-in"] if name == "SIGN_CRL" else ["verify", "-no_check_time", "-CAfile", path]
    if path and run("openssl", *judge, path).returncode:
        refuse(f"cannot be judged: {name} ({path}) is not " + ("PEM CRLs" if name == "SIGN_CRL" else "a root certificate (self-signed, in PEM)"))
if not os.path.isfile(signed):
    refuse("is not a file")
exe, ours = pathlib.Path(signed).read_bytes(), pathlib.Path(built).read_bytes()
der, after = pe.signature(exe)
if not der:
    refuse("has no signature")
if after:
    refuse(f"has {after} bytes after its signature")
if pe.attach(ours, der) != exe:
    kinds = pe.machine(exe), pe.machine(ours)
    refuse("is the {} timerhold.exe, not the {} one".format(*kinds) if None != kinds[0] != kinds[1]
           else "is not this build's timerhold.exe with a signature added")

# The certificates of each SignedData in it: the signature's own, then its timestamps' and nested
# signatures'. Where one names CRLs, its issuer's is taken from SIGN_CRL, or else fetched.
chains = [pems(b"CERTIFICATE", run("openssl", "pkcs7", "-inform", "DER", "-print_certs",
                                   input=der[m.start():m.start() + 4 + int.from_bytes(m[1], "big")]).stdout)
          for m in re.finditer(rb"\x30\x82(..)" + re.escape(pe.SIGNED_DATA), der, re.S)]
crls = pathlib.Path(handed).read_bytes() if handed else b""
issuers = {run("openssl", "crl", "-noout", "-issuer", input=crl).stdout.strip() for crl in pems(b"X509 CRL", crls)}
revocable = [False] * len(chains)  # whether each chain names CRLs
for index, cert in ((i, cert) for i, chain in enumerate(chains) for cert in chain):
    subject, issuer, *points = run("openssl", "x509", "-noout", "-subject", "-issuer", "-ext", "crlDistributionPoints",
                                   input=cert).stdout.split(b"\n")
    urls = [line.strip()[4:].decode() for line in points if line.strip().startswith(b"URI:")]
    revocable[index] |= bool(urls)
    for url in urls if issuer not in issuers else []:
        try:
            crl = urllib.request.urlopen(url, timeout=30).read()
        except (OSError, ValueError):
            continue
        crl = run("openssl", "crl", "-inform", "PEM" if crl.startswith(b"-----") else "DER", input=crl).stdout
        crls, issuers = crls + crl, issuers | ({issuer} if crl else set())
    if urls and issuer not in issuers:
        refuse(f"has a certificate ({subject.decode()[8:]}) whose CRL is not in SIGN_CRL and cannot be fetched from "
               + " or ".join(urls))

# openssl judges the signer's chain as Windows would: keys of 112-bit strength (RSA of 2048 bits or
# more), certificates signed with SHA-256 or stronger (but for a root's own), none revoked. osslsigncode
# judges the signatures and the times, of certificates as of their timestamps.
with tempfile.TemporaryDirectory() as work:
    files = [os.path.join(work, f"{i}.pem") for i in range(len(chains[0]) + 3)]  # CRLs, roots, chain, each certificate
    roots = pathlib.Path(root).read_bytes() + b"\n" + pathlib.Path(tsa_root).read_bytes()
    for file, data in zip(files, [crls, roots, b"".join(chains[0]), *chains[0]]):
        pathlib.Path(file).write_bytes(data)
    judged = run("openssl", "verify", "-no_check_time", "-auth_level", "2", "-CAfile", files[1], "-untrusted", files[2],
                 *(["-crl_check_all", "-CRLfile", files[0]] if revocable[0] else []), *files[3:])
    if judged.returncode:  # (openssl names the certificate, then the error that stopped it)
        refuse("has a certificate that openssl refuses ({}: {})".format(
            *re.findall(r"([^\n]*)\nerror \d+ at \d+ depth lookup: ([^\n]*)", judged.stderr.decode())[0]))
    verified = run("osslsigncode", "verify", "-in", signed, "-CAfile", root, "-TSA-CAfile", tsa_root,
                   *(["-CRLfile", files[0]] if revocable[0] else []), *(["-TSA-CRLfile", files[0]] if any(revocable[1:]) else []))
report = verified.stdout.decode()
if verified.returncode:
    refuse(f"has a signature that does not verify up to {root}")
if "Timestamp Server Signature verification: failed" in report:  # (which verify lets pass)
    refuse(f"has a timestamp that does not verify up to {tsa_root}")
for what, digest in re.findall(r"\n(Message digest algorithm  |\t?Hash Algorithm): (\w+)", report):
    if digest.upper() not in ("SHA256", "SHA384", "SHA512"):  # (Windows takes a SHA-1 timestamp for none)
        refuse(("is signed with {}" if what[0] == "M" else "has a timestamp signed with {}").format(digest)
               + ", where SHA-256 or stronger is needed")
if report.count("Timestamp Server Signature verification: ok") < report.count("\nSignature Index:"):
    print(f"{signed} has a signature without a timestamp: it lapses when its certificate expires", file=sys.stderr)
shutil.copyfile(signed, built)
pathlib.Path(p7s).write_bytes(der)
