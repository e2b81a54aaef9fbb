#!/usr/bin/env python3
# The signing gate, which cpack runs before it writes a signed release's zip:
#     gate.py SIGNED_EXE BUILT_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL P7S
# It puts SIGNED_EXE in place of BUILT_EXE, and its signature in P7S, once it
# is BUILT_EXE with that signature attached, openssl passes its signer's chain
# as Windows would, and osslsigncode verifies its signatures and timestamps up
# to the roots. Otherwise it says why in one line and exits 1.
import contextlib, os, pathlib, re, shutil, subprocess, sys, tempfile, urllib.request

sys.dont_write_bytecode = True  # (it leaves nothing in the source tree)
import pe

signed, built, root, tsa_root, handed, p7s = sys.argv[1:]
tsa_root = tsa_root or root
read = lambda path: pathlib.Path(path).read_bytes()
run = lambda *command, input=None: subprocess.run(command, input=input, capture_output=True)
pems = lambda kind, text: re.findall(rb"-----BEGIN %s-----.*?-----END %s-----\n" % (kind, kind), text, re.S)


def refuse(why):  # (emptying cpack's staging folder, which cpack compresses even so)
    shutil.rmtree(os.path.dirname(built))
    sys.exit(f"{signed} {why}: nothing is packed")


# The roots must be roots, which verify by themselves, and in PEM, as osslsigncode reads them.
for name, path in [("SIGNED_EXE", signed), ("SIGN_ROOT", root), ("SIGN_TSA_ROOT", tsa_root), ("SIGN_CRL", handed)]:
    if (path or name == "SIGN_ROOT") and not os.path.isfile(path):
        refuse(f"cannot be judged: {name} ({path or 'not set'}) does not exist")
    judge = ["crl", "-noout", "-in"] if name == "SIGN_CRL" else ["verify", "-no_check_time", "-CAfile", path]
    if path and name != "SIGNED_EXE" and run("openssl", *judge, path).returncode:
        refuse(f"cannot be judged: {name} ({path}) is not " + ("PEM CRLs" if name == "SIGN_CRL" else "a root certificate (self-signed, in PEM)"))
exe, ours = read(signed), read(built)
der, after = pe.signature(exe)
if not der or after:
    refuse(f"has {after} bytes after its signature" if der else "has no signature")
if pe.attach(ours, der) != exe:
    refuse(f"is the {pe.machine(exe)} timerhold.exe, not the {pe.machine(ours)} one" if pe.machine(exe) != pe.machine(ours)
           else "is not this build's timerhold.exe with a signature added")

# The certificates of each SignedData in it: the signature's own, then its timestamps' and nested
# signatures'. Where one names CRLs, its issuer's is taken from SIGN_CRL, or else fetched.
chains = [pems(b"CERTIFICATE", run("openssl", "pkcs7", "-inform", "DER", "-print_certs",
                                   input=der[m.start():m.start() + 4 + int.from_bytes(m[1], "big")]).stdout)
          for m in re.finditer(rb"\x30\x82(..)" + re.escape(pe.SIGNED_DATA), der, re.S)]
crls = read(handed) if handed else b""
issuers = {run("openssl", "crl", "-noout", "-issuer", input=crl).stdout.strip() for crl in pems(b"X509 CRL", crls)}
revocable = [False] * len(chains)  # whether each chain names CRLs
for index, cert in ((i, cert) for i, chain in enumerate(chains) for cert in chain):
    subject, issuer, points = run("openssl", "x509", "-noout", "-subject", "-issuer", "-ext", "crlDistributionPoints",
                                  input=cert).stdout.split(b"\n", 2)
    urls = [url.decode() for url in re.findall(rb"URI:(\S+)", points)]
    revocable[index] |= bool(urls)
    for url in urls if issuer not in issuers else []:
        with contextlib.suppress(OSError, ValueError):  # (in DER, as the certificate's CRL is published)
            crl = run("openssl", "crl", "-inform", "DER", input=urllib.request.urlopen(url, timeout=30).read()).stdout
            crls, issuers = crls + crl, issuers | ({issuer} if crl else set())
    if urls and issuer not in issuers:
        refuse(f"has a certificate ({subject.decode()[8:]}) whose CRL is not in SIGN_CRL and cannot be fetched from "
               + " or ".join(urls))

# openssl judges the signer's chain as Windows would: keys of 112-bit strength (RSA of 2048 bits or
# more), certificates signed with SHA-256 or stronger (but for a root's own), none revoked. osslsigncode
# judges the signatures and the times, of certificates as of their timestamps.
with tempfile.TemporaryDirectory() as work:
    files = [os.path.join(work, f"{i}.pem") for i in range(len(chains[0]) + 3)]  # CRLs, roots, chain, each certificate
    for file, data in zip(files, [crls, read(root) + b"\n" + read(tsa_root), b"".join(chains[0]), *chains[0]]):
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
# (Windows takes a SHA-1 timestamp for none)
for what, digest in re.findall(r"\n(Message digest algorithm  |\t?Hash Algorithm): (?!(?:SHA256|SHA384|SHA512)\n)(\w+)", report, re.I):
    refuse(f"{'is' if what[0] == 'M' else 'has a timestamp'} signed with {digest}, where SHA-256 or stronger is needed")
if report.count("Timestamp Server Signature verification: ok") < report.count("\nSignature Index:"):
    print(f"{signed} has a signature without a timestamp: it lapses when its certificate expires", file=sys.stderr)
shutil.copyfile(signed, built)
pathlib.Path(p7s).write_bytes(der)
