#!/usr/bin/python3
"""The release tool: makes a release of SORVanActiveXSetup.exe from the vendor's
four components, and checks a published release against the source.

  release.py make COMPONENTS_DIR [--out DIR] [--dirty] [--pkcs12 FILE [--password-file FILE]
                  | --pkcs11-module FILE --key URI --cert CERT] [--chain FILE] [--ca FILE] [--timestamp URL]
  release.py check RELEASE_DIR (--ca FILE | --signer SHA256 | --ca FILE --signer SHA256 | --reproducible-only)
  release.py names      (the product's names, as assignments for the shell scripts)

make builds in build/release-make and writes only the release (build/release, or --out: an empty folder or
an earlier release, replaced once the new one is complete); the password or PIN comes from
SORVAN_SIGN_PASSWORD or --password-file. check builds the commit in a temporary folder, its only scratch;
a signature's verdict is osslsigncode's. Neither installs anything: a missing tool is named.
"""
import argparse, fcntl, hashlib, io, os, re, shutil, struct, subprocess, sys, tarfile, tempfile, time  # noqa: E401
import warnings, zipfile  # noqa: E401
from datetime import timezone
from pathlib import Path

# Debian's python3-pefile and python3-cryptography are /usr/bin/python3's: see the end, and need_tools().
try:
    import pefile
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.serialization import Encoding, pkcs7
except ImportError:
    pefile = None

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_DEFINES = dict(re.findall(r'^#define (\w+) "(.*)"$', Path(ROOT, "engine", "product.h").read_text("ascii"),
                           re.MULTILINE))
CLSID, SETUP_EXE = _DEFINES["SORVAN_CONTROL_CLSID"], _DEFINES["SORVAN_SETUP_EXE"]
# The four components, in the order the setup handles them: the control first.
COMPONENTS = tuple(_DEFINES[f"SORVAN_COMPONENT_{i}"] for i in range(1, 5))
CONTROL = COMPONENTS[0]
DIGESTS_MARKER = _DEFINES["SORVAN_DIGESTS_MARKER"].encode("ascii")

CAB, ZIP, PAGE, INFO, SUMS = "SORVan.cab", "SORVan.zip", "object.html", "BUILDINFO", "SHA256SUMS"
FOLDER_FILES = tuple("SORVan/" + name for name in (SETUP_EXE,) + COMPONENTS)
# Every file a release holds, in the order SHA256SUMS lists them.
RELEASE_FILES = (SETUP_EXE, CAB, ZIP, PAGE, INFO) + FOLDER_FILES
TOOLS = {"cmake": "cmake", "i686-w64-mingw32-g++": "g++-mingw-w64-i686", "osslsigncode": "osslsigncode",
         "gcab": "gcab", "zip": "zip", "openssl": "openssl"}
# In a signature's DER: a nested signature, and a time stamp (an RFC 3161 token, a PKCS#9 countersignature).
NESTED = bytes.fromhex("060a2b060104018237020401")
TIMESTAMPS = (bytes.fromhex("060a2b060104018237030301"), bytes.fromhex("06092a864886f70d010906"))

class Refused(Exception):
    """Ends the command with its message; what it was making stays unwritten."""

def run(args, **kwargs):  # the tool's output, both streams together, in .stdout
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False, **kwargs)

def need_tools():
    missing = [package for tool, package in TOOLS.items() if not shutil.which(tool)]
    missing += ["python3-pefile python3-cryptography"] if pefile is None else []
    if missing:
        raise Refused(f"missing: {' '.join(missing)}; scripts/install-deps.sh installs them "
                      f"(or: sudo apt-get install {' '.join(missing)})")

def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).digest()

def content(path):  # None when there is no such file
    return Path(path).read_bytes() if os.path.isfile(path) else None

def unzipped(release, name, out):  # the zip's copy of SORVan/NAME into `out`; False when it has none
    try:
        with zipfile.ZipFile(os.path.join(release, ZIP)) as archive:
            return Path(out).write_bytes(archive.read("SORVan/" + name)) is not None
    except (OSError, KeyError, zipfile.BadZipFile):
        return False

def _control_version(pe):
    """The control's file version as "a,b,c,d", or (None, why it is no fit control)."""
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
                                           pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    exported = {s.name.decode("ascii", "replace") for s in exports.symbols if s.name} if exports else set()
    missing = [name for name in ("DllRegisterServer", "DllUnregisterServer") if name not in exported]
    if missing:
        return None, "does not export " + " and ".join(missing)
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return None, ("has no version resource: the web page's <object> tag names the control's version, "
                      "so that the browser can tell an older installed control from this one")
    info = pe.VS_FIXEDFILEINFO[0]
    return (f"{info.FileVersionMS >> 16},{info.FileVersionMS & 0xFFFF},"
            f"{info.FileVersionLS >> 16},{info.FileVersionLS & 0xFFFF}"), None

def check_components(folder):
    """The control's version, once the folder holds the four components, each the kind of 32-bit
    image the setup expects; otherwise every problem is named. Another file is left out."""
    if not os.path.isdir(folder):
        raise Refused(f"{folder}: not a folder")
    files, problems, version = os.listdir(folder), [], None
    for name in COMPONENTS:
        path = os.path.join(folder, name)
        if not os.path.isfile(path) or os.path.islink(path):
            # Named exactly as the setup names it, whatever case a Windows file system would forgive.
            near = [other for other in files if other.lower() == name.lower() and other != name]
            problems.append(f"{name}: missing from {folder} (or not a regular file)"
                            + (f"; rename {near[0]} to {name}" if near else ""))
            continue
        if os.path.getsize(path) == 0:
            problems.append(f"{name}: is empty")
            continue
        try:
            pe = pefile.PE(path, fast_load=True)
        except (pefile.PEFormatError, OSError) as error:
            problems.append(f"{name}: is not a Windows program or library ({error})")
            continue
        dll, reason = not name.endswith(".exe"), None
        if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"] or \
                pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
            reason = "is not 32-bit (x86): the setup and Internet Explorer's controls are 32-bit"
        elif bool(pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]) != dll:
            reason = "is not a DLL" if dll else "is a DLL, not a program"
        elif name == CONTROL:
            version, reason = _control_version(pe)
        pe.close()
        problems += [f"{name}: {reason}"] if reason else []
    if problems:
        print("\n".join(problems), file=sys.stderr)
        raise Refused(f"{folder} is no components folder for a release (see above); nothing was written")
    # A published release's folder holds its program too, which a release replaces with this checkout's.
    for name in sorted(set(files) - set(COMPONENTS) - {SETUP_EXE}):
        print(f"left out of the release: {name} (not one of the four components)", file=sys.stderr)
    return version

# --- The digests the program carries: after its 32-byte marker, a 32-bit "present" and each SHA-256.

def _digest_field(data):
    marker = DIGESTS_MARKER.ljust(32, b"\0")
    at = data.find(marker)
    if at < 0 or data.find(marker, at + 1) >= 0:
        raise Refused(f"not exactly one digest marker in the program: is it {SETUP_EXE}?")
    return at + len(marker)

def read_digests(program):  # None when it carries none
    data = Path(program).read_bytes()
    field = _digest_field(data)
    if struct.unpack_from("<I", data, field)[0] != 1:
        return None
    return [data[field + 4 + 32 * i:field + 36 + 32 * i] for i in range(len(COMPONENTS))]

def write_digests(program, out, digests):
    data = bytearray(Path(program).read_bytes())
    field = _digest_field(data)
    data[field:field + 4 + 32 * len(COMPONENTS)] = struct.pack("<I", 1) + b"".join(digests)
    # The image's checksum covers the bytes just written: computed again, as the linker does.
    pe = pefile.PE(data=bytes(data), fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    Path(out).write_bytes(pe.write())

# --- Signatures: osslsigncode's exit status is the verdict, its text never read; certificates name the signer.

def _certificates(der):  # the certificates in a PKCS#7 signature; none when it cannot be read
    try:
        return pkcs7.load_der_pkcs7_certificates(der) if der else []
    except ValueError:
        return []

class Signature:
    """A file's Authenticode signatures as osslsigncode extracts them: the certificates they carry, the
    signer's among them, and whether there is more than one (nested, or appended to a program)."""
    def __init__(self, path, scratch):
        self.path, self.certificates, der = path, [], os.path.join(scratch, "signature.der")
        if os.path.exists(der):
            os.remove(der)
        self.present = run(["osslsigncode", "extract-signature", "-in", path, "-out", der]).returncode == 0
        data = content(der) or b"" if self.present else b""
        with warnings.catch_warnings():  # a signature's BER is read as it is, with a warning
            warnings.simplefilter("ignore")
            self.certificates = _certificates(data)
        self.timestamped = any(oid in data for oid in TIMESTAMPS)
        self.several = NESTED in data or (self.present and _appended(path))
        # The signer's certificate issued no other one it carries.
        leaves = [c for c in self.certificates if not any(o is not c and o.issuer == c.subject
                                                          for o in self.certificates)]
        self.signer = leaves[0] if leaves else None
        self.chain = os.path.join(scratch, f"carried.{id(self)}.pem")  # one a signature, while they all live
        Path(self.chain).write_bytes(b"".join(c.public_bytes(Encoding.PEM) for c in self.certificates))

    def lacks_issuer(self):  # the signer's certificate is carried, not the one that issued it
        return self.signer and self.signer.subject != self.signer.issuer and \
            not any(c.subject == self.signer.issuer for c in self.certificates)

    def verified(self, epoch, ca=None, signer=None):
        """osslsigncode's verdict on the one signature: against the vendor's CA and/or the signer's
        certificate (its SHA-256), or else the certificates it carries. Checked at its time stamp's time,
        or at `epoch` when it has none: a certificate that has expired since is no reason to refuse."""
        if not self.present or self.several:
            return False
        return run(["osslsigncode", "verify", "-in", self.path, "-CAfile", ca or self.chain, "-ignore-crl"]
                   + (["-require-leaf-hash", "sha256:" + signer] if signer else [])
                   + ([] if self.timestamped else ["-time", str(epoch)])).returncode == 0

    def fault(self, epoch):
        """What the signer's certificate itself says is wrong with it for this release, or None."""
        cert = self.signer
        if cert is None:
            return None
        try:
            if x509.ExtendedKeyUsageOID.CODE_SIGNING not in cert.extensions.get_extension_for_class(
                    x509.ExtendedKeyUsage).value:
                return "the certificate is not one for code signing (its extended key usage lacks it)"
        except x509.ExtensionNotFound:
            pass
        begins, ends = (t.replace(tzinfo=timezone.utc).timestamp() for t in (cert.not_valid_before, cert.not_valid_after))
        if begins > epoch:
            return f"the certificate is not yet valid at the release's time, {time.ctime(epoch)}: it is from {time.ctime(begins)}"
        if ends < epoch:
            return f"the certificate expired on {time.ctime(ends)}, before the release's time, {time.ctime(epoch)}"
        return None

    def describe(self):
        sha = ":".join(f"{byte:02X}" for byte in self.signer.fingerprint(hashes.SHA256())) if self.signer else ""
        return f"{self.signer.subject.rfc4514_string()} (certificate SHA-256 {sha})" if self.signer else "no one known"

def _appended(path):  # whether a program's security directory holds more than one signature
    data = Path(path).read_bytes()
    try:
        entry = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4]  # the security directory
    except pefile.PEFormatError:
        return False  # a cabinet
    first = struct.unpack_from("<I", data, entry.VirtualAddress)[0] if 8 <= entry.Size <= len(data) else entry.Size
    return (first + 7) // 8 * 8 < entry.Size  # each entry padded to 8 bytes

class Signer:
    """How `make` signs, if at all: with a PKCS#12 file, or a key on a PKCS#11 token."""
    def __init__(self, o):
        self.args, self.timestamp, self.ca = [], o.timestamp, o.ca
        if o.pkcs12 and o.pkcs11_module:
            raise Refused("give either --pkcs12 or --pkcs11-module, not both")
        if not o.pkcs12 and not o.pkcs11_module:
            if o.password_file or o.key or o.cert or o.chain or o.ca or o.timestamp:
                raise Refused("--password-file, --key, --cert, --chain, --ca and --timestamp need "
                              "--pkcs12 or --pkcs11-module")
            return
        for path in [p for p in (o.pkcs12, o.password_file, o.chain, o.ca) if p and not os.path.isfile(p)]:
            raise Refused(f"{path}: no such file")
        if o.pkcs12:
            if not o.password_file and "SORVAN_SIGN_PASSWORD" not in os.environ:
                raise Refused("--pkcs12 needs its password: set SORVAN_SIGN_PASSWORD or give --password-file")
            self.args, self.source = ["-pkcs12", o.pkcs12], o.pkcs12
            self.refused = f"the password does not open {o.pkcs12}"
        else:
            if not o.key or not o.cert:
                raise Refused("--pkcs11-module needs --key and --cert")
            if run(["openssl", "engine", "pkcs11"]).returncode != 0:
                raise Refused("missing: the OpenSSL PKCS#11 engine, through which osslsigncode reaches the token; "
                              "scripts/install-deps.sh installs it (or: sudo apt-get install libengine-pkcs11-openssl)")
            if not o.cert.startswith("pkcs11:") and not os.path.isfile(o.cert):
                raise Refused(f"{o.cert}: no such file")
            self.args = ["-pkcs11module", o.pkcs11_module, "-key", o.key,
                         "-pkcs11cert" if o.cert.startswith("pkcs11:") else "-certs", o.cert]
            self.source, self.refused = "the token", "the token refused its PIN"
        self.args += ["-ac", o.chain] if o.chain else []
        self.source += f" and {o.chain}" if o.chain else ""
        # Through a pipe, never in a process's arguments; an empty one is not given at all.
        self.password = (Path(o.password_file).read_text("utf-8").splitlines() or [""])[0] if o.password_file \
            else os.environ.get("SORVAN_SIGN_PASSWORD", "")
        self.args += ["-readpass", "-"] if self.password else []

    def __bool__(self):  # whether it signs
        return bool(self.args)

    def sign(self, path, out, epoch, scratch):
        """An Authenticode signature (SHA-256) with the fixed signing time, verified, code-signing purpose
        included, before the release takes it. The description Windows' prompts show is stored as ASCII."""
        name = os.path.basename(out)
        said = run(["osslsigncode", "sign"] + self.args + ["-h", "sha256", "-n", "SORVanActiveXSetup", "-time",
                   str(epoch)] + (["-ts", self.timestamp] if self.timestamp else []) + ["-in", path, "-out", out],
                   input=self.password)
        if said.returncode != 0:
            if re.search(r"Wrong password|mac verify failure|PIN_INCORRECT|Failed to read password", said.stdout):
                raise Refused(f"{self.refused}: nothing was written")
            if self.timestamp and "timestamping failed" in said.stdout:
                raise Refused(f"the time-stamp server {self.timestamp} gave no time stamp: try again later, "
                              "or give another with --timestamp")
            sys.stderr.write(said.stdout)
            raise Refused(f"could not sign {name} (above)")
        signature = Signature(out, scratch)
        if signature.lacks_issuer():
            raise Refused(f"{self.source} holds the signing certificate but not its issuer's "
                          f"({signature.signer.issuer.rfc4514_string()}): give the issuing certificates, up to the "
                          "root, with --chain")
        begins = signature.signer.not_valid_before.replace(tzinfo=timezone.utc).timestamp() if signature.signer else 0
        if begins > epoch and not signature.timestamped:
            raise Refused(f"the certificate is valid only from {time.ctime(begins)}, after the release's time, "
                          f"{time.ctime(epoch)}, the commit's: give the release a later one, SOURCE_DATE_EPOCH=$(date +%s)")
        if not signature.verified(epoch):
            raise Refused(f"the signature of {name} does not verify: " + (
                signature.fault(epoch) or "do the certificates it carries go up to the root (--chain)?"))
        if self.ca and not signature.verified(epoch, self.ca):
            raise Refused(f"the signature of {name} does not chain to {self.ca}: is that the certificate's CA?")
        print(f"release: {name} signed by {signature.describe()}")

# --- What a release is made from, and how it is put together.

def source_state():  # (this checkout's commit or None, whether it has changes not committed)
    head = run(["git", "-C", ROOT, "rev-parse", "--verify", "-q", "HEAD"]) if shutil.which("git") else None
    if not head or head.returncode != 0:
        return None, False
    return head.stdout.strip(), run(["git", "-C", ROOT, "diff", "--quiet", "HEAD", "--"]).returncode != 0

def source_epoch():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        said = run(["git", "-C", ROOT, "log", "-1", "--format=%ct"]) if shutil.which("git") else None
        if not said or said.returncode != 0:
            raise Refused("not a git checkout: set SOURCE_DATE_EPOCH to the time the release should record")
        epoch = said.stdout.strip()
    # A zip or cabinet records local DOS times, from 1980 on.
    if not epoch.isdigit() or int(epoch) < 315532800:
        raise Refused(f"SOURCE_DATE_EPOCH={epoch} is no time from 1980 on")
    return int(epoch)

def build_program(folder, source=ROOT):  # SORVanActiveXSetup.exe, built (MinGW-w64, 32-bit) in `folder`
    for step in (["cmake", "--no-warn-unused-cli", "-S", source, "-B", folder, "-DCMAKE_BUILD_TYPE=Release",
                  f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/i686-w64-mingw32.cmake"],
                 ["cmake", "--build", folder, "--target", "SORVanActiveXSetup", f"-j{os.cpu_count() or 1}"]):
        said = run(step)
        if said.returncode != 0:
            sys.stderr.write(said.stdout[-6000:])
            raise Refused("the program did not build (above)")
    return os.path.join(folder, SETUP_EXE)

def tool_versions():
    """The version of each tool a release depends on, for whoever makes it again."""
    lines = {"pefile": getattr(pefile, "__version__", "?")}
    for tool, args in (("compiler", ["i686-w64-mingw32-g++", "--version"]),
                       ("linker", ["i686-w64-mingw32-ld", "--version"]), ("cmake", ["cmake", "--version"]),
                       ("osslsigncode", ["osslsigncode", "--version"]), ("gcab", ["gcab", "--version"]),
                       ("zip", ["zip", "-v"])):
        said = run(args).stdout.splitlines() if shutil.which(args[0]) else []
        line = next((line for line in said if re.search(r"\d", line) and "Copyright" not in line), "not found")
        lines[tool] = line.split(", using")[0].strip()
    return lines

def build_info(commit, dirty, epoch, version):
    fields = {"Format": "SORVan release 1", "Commit": commit or "unknown (no git checkout)",
              "Dirty": "yes: made from a working tree with changes not committed" if dirty else "no",
              "Source-Date-Epoch": f"{epoch} ({time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime(epoch))})",
              "Control-Version": version}
    fields.update((f"Tool-{tool}", line) for tool, line in sorted(tool_versions().items()))
    return "".join(f"{key}: {value}\n" for key, value in fields.items())

def parse_fields(text):
    return dict(re.findall(r"^([\w-]+): (.*)$", text, re.MULTILINE))

def put_together(work, program, components, version, epoch, info, sign_cabinet):
    """Writes a release into `work` around a program (signed or not) and the components; `sign_cabinet`
    signs the cabinet, if given. Times and modes are fixed: the files depend only on their contents."""
    folder, cabinet = os.path.join(work, "SORVan"), os.path.join(work, "cabinet")
    for where in (folder, cabinet):
        os.makedirs(where)
        for name in (SETUP_EXE,) + COMPONENTS:
            shutil.copyfile(program if name == SETUP_EXE else os.path.join(components, name),
                            os.path.join(where, name))
    shutil.copyfile(program, os.path.join(work, SETUP_EXE))
    # The browser extracts the cabinet and runs its setup hook; with [Add.Code] it would install the control
    # itself, outside the setup's records. ASCII with CRLF, as INF readers take it in any code page.
    Path(cabinet, "SORVan.inf").write_text(
        f"; SORVan: the setup of the control {CLSID},\n"
        f"; {CONTROL} version {version}. The browser extracts this cabinet into\n"
        "; a folder of its own and runs the setup from there.\n"
        '[Version]\nSignature="$CHICAGO$"\nAdvancedINF=2.0\n\n[Setup Hooks]\nSORVanSetup=SORVanSetup\n\n'
        f"[SORVanSetup]\nrun=%EXTRACT_DIR%\\{SETUP_EXE}\n".replace("\n", "\r\n"), "ascii")
    for path in [os.path.join(d, n) for d in (folder, cabinet) for n in os.listdir(d)]:
        os.chmod(path, 0o644)
        os.utime(path, (epoch, epoch))
    # Both tools record local times: UTC, whoever runs them. No space reserved: the signer adds its own.
    unsigned = os.path.join(work, "unsigned.cab")
    for where, step in ((work, ["zip", "-X", "-q", "-D", ZIP] + list(FOLDER_FILES)),
                        (cabinet, ["gcab", "-c", "-z", "-n", unsigned, SETUP_EXE] + list(COMPONENTS)
                         + ["SORVan.inf"])):
        said = run(step, cwd=where, env=dict(os.environ, TZ="UTC"))
        if said.returncode != 0:
            sys.stderr.write(said.stdout)
            raise Refused(f"{step[0]} failed (above)")
    shutil.rmtree(cabinet)
    if sign_cabinet:
        sign_cabinet(unsigned, os.path.join(work, CAB))
        os.remove(unsigned)
    else:
        os.rename(unsigned, os.path.join(work, CAB))
    # Plain ASCII too: it goes into the vendor's page, whatever its encoding.
    fields = parse_fields(info)
    Path(work, PAGE).write_text(
        f"<!-- SORVan: the browser downloads {CAB} (beside this\n"
        "     page) and runs its setup when the control is missing or older than\n"
        f"     {version}, the file version of {CONTROL}. -->\n"
        f'<object id="LumeTransfer" classid="clsid:{CLSID.strip("{}")}"\n'
        f'        codebase="{CAB}#version={version}" width="0" height="0">\n'
        f'  <a href="{ZIP}">{ZIP}</a>: the setup program and its components, to run by hand.\n</object>\n'
        + (f"<!-- DIRTY: made from a working tree with changes not committed to {fields.get('Commit', '')[:7]} -->\n"
           if fields.get("Dirty", "no") != "no" else ""), "ascii")
    Path(work, INFO).write_text(info, "ascii")
    Path(work, SUMS).write_text("".join(f"{sha256(os.path.join(work, name)).hex()}  {name}\n"
                                        for name in RELEASE_FILES), "ascii")
    for name in (SETUP_EXE, CAB, ZIP, PAGE, INFO, SUMS, "SORVan"):
        os.chmod(os.path.join(work, name), 0o755 if name == "SORVan" else 0o644)
        os.utime(os.path.join(work, name), (epoch, epoch))

def held_entries(folder):
    """Every entry under `folder` as (type, path); None when some cannot be read (and so be known)."""
    entries, unreadable = set(), []
    for top, dirs, files in os.walk(folder, onerror=unreadable.append):
        for path in (os.path.join(top, name) for name in dirs + files):
            kind = "l" if os.path.islink(path) else "d" if os.path.isdir(path) else "f" if os.path.isfile(path) else "?"
            entries.add((kind, os.path.relpath(path, folder)))
    return None if unreadable else entries

def make(o):
    signer = Signer(o)
    need_tools()
    version = check_components(o.components)  # a wrong folder writes nothing
    # The release names its commit; the program is built from the working tree, changes and all, when asked.
    commit, dirty = source_state()
    if dirty and not o.dirty:
        sys.stderr.write(run(["git", "-C", ROOT, "status", "--short", "-uno"]).stdout)
        raise Refused("the working tree has changes that are not committed (above): commit them, or give --dirty")
    epoch, out = source_epoch(), os.path.abspath(o.out)
    # Only an empty folder or an earlier release (older ones lack BUILDINFO) is replaced, nothing else.
    if os.path.lexists(out):
        if os.path.islink(out) or not os.path.isdir(out):
            raise Refused(f"{out} is not a folder: give an empty or new folder to --out")
        release = {("d", "SORVan")} | {("f", name) for name in RELEASE_FILES + (SUMS,)}
        if held_entries(out) not in (set(), release, release - {("f", INFO)}):
            raise Refused(f"{out} holds something that is not a release: give an empty or new folder to --out")
    made = not os.path.lexists(out)
    os.makedirs(out, exist_ok=True)
    try:
        put_in(o, signer, version, commit, dirty, epoch, out)
    except Refused:
        if made:  # a refused release leaves no folder it made
            shutil.rmtree(out, ignore_errors=True)
        raise

def put_in(o, signer, version, commit, dirty, epoch, out):
    # One run at a time into a folder, which it locks: a second would replace the release the first makes.
    try:
        fcntl.flock(os.open(out, os.O_RDONLY), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise Refused(f"another release is being made in {out}; run again when it has finished") from None
    os.makedirs(os.path.join(ROOT, "build", "release-make"), exist_ok=True)
    fcntl.flock(os.open(os.path.join(ROOT, "build", "release-make"), os.O_RDONLY), fcntl.LOCK_EX)  # one at a time
    program = build_program(os.path.join(ROOT, "build", "release-make"))
    work = f"{out}.new.{os.getpid()}"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "scratch"))
    try:
        scratch, signed = os.path.join(work, "scratch"), os.path.join(work, SETUP_EXE)
        write_digests(program, signed, [sha256(os.path.join(o.components, name)) for name in COMPONENTS])
        if signer:
            os.rename(signed, os.path.join(scratch, "unsigned.exe"))
            signer.sign(os.path.join(scratch, "unsigned.exe"), signed, epoch, scratch)
        put_together(os.path.join(work, "release"), signed, o.components, version, epoch,
                     build_info(commit, dirty, epoch, version),
                     (lambda path, cab: signer.sign(path, cab, epoch, scratch)) if signer else None)
        shutil.rmtree(out, ignore_errors=True)
        os.rename(os.path.join(work, "release"), out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if dirty:
        print("release: DIRTY release: made from a working tree with changes that are not committed")
    if signer:
        print(f"release: signed release of {CONTROL} {version} in {out}")
    else:
        print(f"release: UNSIGNED release of {CONTROL} {version} in {out} (browsers refuse an unsigned cabinet, "
              "and Windows warns before it runs an unsigned program: give --pkcs12 or --pkcs11-module to sign it)")


ZIPPED = f"{ZIP}:SORVan/{SETUP_EXE}"
SIGNED = (SETUP_EXE, "SORVan/" + SETUP_EXE, ZIPPED, CAB)

def check(o):
    release = os.path.abspath(o.release)
    if not os.path.isdir(release):
        raise Refused(f"{o.release}: no such folder")
    if o.reproducible_only and (o.ca or o.signer):
        raise Refused("--reproducible-only trusts no signer: give it without --ca and --signer")
    need_tools()
    if o.ca:
        try:
            x509.load_pem_x509_certificate(Path(o.ca).read_bytes())
        except (OSError, ValueError):
            raise Refused(f"{o.ca}: no certificate in it (PEM)") from None
    # The commit first: checked from another, every file would differ, which reads like tampering.
    info = (content(os.path.join(release, INFO)) or b"").decode("ascii", "replace")
    published, (commit, _) = parse_fields(info), source_state()
    made_from = published.get("Commit")
    if made_from and commit and made_from != commit:
        raise Refused(f"{o.release} was made from {made_from}; this checkout is {commit}: "
                      f"check out {made_from} (git checkout {made_from}; git checkout - returns) and check again")
    dirty = published.get("Dirty", "no") != "no"
    if dirty:
        print(f"release: {o.release} was made from a working tree with changes not committed to {made_from}: "
              "compared with this working tree")
    for tool, line in tool_versions().items():
        if published.get(f"Tool-{tool}", line) != line:
            print(f"release: made with {published[f'Tool-{tool}']}; this machine has {line}")
    if not os.path.isfile(os.path.join(release, SETUP_EXE)):
        raise Refused(f"{o.release}/{SETUP_EXE}: missing")
    digests = read_digests(os.path.join(release, SETUP_EXE))
    if digests is None:
        raise Refused(f"{SETUP_EXE} carries no digests of its components: it is no release made by this tool")
    epoch = published.get("Source-Date-Epoch", "").split(" ")[0]
    epoch = int(epoch) if epoch.isdigit() else source_epoch()
    scratch = tempfile.mkdtemp(prefix="sorvan-check.")
    try:
        zipped = os.path.join(scratch, "zipped.exe")
        unzipped(release, SETUP_EXE, zipped)  # a zip without it is named among the files that differ
        signatures = {name: Signature(zipped if name == ZIPPED else os.path.join(release, name), scratch)
                      for name in SIGNED}
        differ = compare(release, info, digests, None if dirty else commit, signatures, epoch, scratch)
        mistrusted = signers(o, signatures, epoch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if differ:
        raise Refused(f"{o.release} differs from what this checkout makes of its components: {' '.join(differ)}")
    if mistrusted:
        raise Refused(f"{o.release} is not signed by the signer you named: {'; '.join(mistrusted)}")
    same = f"{o.release} is what this checkout makes of its components"
    if o.reproducible_only or o.ca or o.signer:
        print(f"release: {same}, " + ("and every signature matches its file; the signer was not checked "
                                      "(--reproducible-only)" if o.reproducible_only else
                                      "signed by the signer you named" if o.signer else
                                      f"signed by a certificate that {o.ca} vouches for"))
    else:
        raise Refused(f"{same}, but whom to trust was not said: "
                      "give --ca with the vendor's CA certificate and/or --signer with the fingerprint the vendor "
                      "publishes (--reproducible-only compares the bytes alone)")

def compare(release, info, digests, commit, signatures, epoch, scratch):
    """The published files that differ from the release remade from its own components, each named;
    a signature that does not match its file, or is not the only one, as "NAME (its signature)"."""
    # The commit, copied elsewhere (a release made from changes not committed: this working tree).
    source, program, differ = ROOT, os.path.join(scratch, "program.exe"), []
    if commit:
        source = os.path.join(scratch, "source")
        archive = subprocess.run(["git", "-C", ROOT, "archive", commit], stdout=subprocess.PIPE, check=True)
        tarfile.open(fileobj=io.BytesIO(archive.stdout)).extractall(
            source, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    write_digests(build_program(os.path.join(scratch, "build"), source), program, digests)
    # Remade from the published components, or the zip's copy of one changed in the folder.
    components = os.path.join(scratch, "components")
    os.makedirs(components)
    for name, digest in zip(COMPONENTS, digests):
        path, copy = os.path.join(release, "SORVan", name), os.path.join(components, name)
        if os.path.isfile(path) and sha256(path) == digest:
            shutil.copyfile(path, copy)
            continue
        differ.append("SORVan/" + name)
        if not unzipped(release, name, copy):
            raise Refused(f"SORVan/{name} differs, and the zip has no copy to remake the release from")
    version = check_components(components)
    stripped = os.path.join(scratch, "stripped")

    def judged(name, expected):
        """NAME, or "NAME (its signature)", when the published file differs from `expected`."""
        signature = signatures[name]
        if not os.path.isfile(signature.path):
            return [name]
        if os.path.exists(stripped):
            os.remove(stripped)  # the signer writes no file that is already there
        if run(["osslsigncode", "remove-signature", "-in", signature.path, "-out", stripped]).returncode != 0:
            shutil.copyfile(signature.path, stripped)  # unsigned
        if content(stripped) != content(expected):
            return [name]
        return [f"{name} (its signature)"] if signature.present and not signature.verified(epoch) else []
    # Remade around a sound published program, with the times and commit the release records.
    verdicts = {name: judged(name, program) for name in (SETUP_EXE, "SORVan/" + SETUP_EXE, ZIPPED)}
    differ += [named for verdict in verdicts.values() for named in verdict]
    sound = [name for name, verdict in verdicts.items() if not verdict and name != ZIPPED] + [SETUP_EXE]
    remade = os.path.join(scratch, "remade")
    put_together(remade, os.path.join(release, sound[0]), components, version, epoch, info, None)
    differ += judged(CAB, os.path.join(remade, CAB))
    differ += [name for name in (ZIP, PAGE)
               if content(os.path.join(release, name)) != content(os.path.join(remade, name))]
    differ += [INFO] if parse_fields(info).get("Control-Version") != version else []
    # The sums must list the ten files, and may fail only for a file named already.
    sums = re.findall(r"^([0-9a-f]{64})  (\S+)$", (content(os.path.join(release, SUMS)) or b"").decode("ascii",
                      "replace"), re.MULTILINE)
    if [name for _, name in sums] != list(RELEASE_FILES) or any(
            name not in differ and f"{name} (its signature)" not in differ
            and sha256(os.path.join(release, name)).hex() != digest for digest, name in sums):
        differ.append(SUMS)
    return differ

def signers(o, signatures, epoch):
    """Prints who signed each signed file; returns what osslsigncode finds not signed by --ca or --signer."""
    mistrusted = []
    for name, signature in signatures.items():
        intact = signature.verified(epoch)
        said = f"is signed by {signature.describe()}" if intact else \
            "has a signature that does not verify, or more than one" if signature.present else "is not signed"
        print(f"release: {name} {said}")
        if (o.ca or o.signer) and not intact:
            mistrusted.append(f"{name} {said}")
        if intact and o.ca and not signature.verified(epoch, ca=o.ca):
            mistrusted.append(f"the signer of {name} does not chain to {o.ca}")
        if intact and o.signer and not signature.verified(epoch, signer=o.signer):
            mistrusted.append(f"{name} is not signed by {o.signer}")
    return mistrusted

def main(argv):
    os.umask(0o022)  # every file of a release is readable by all, whatever the caller's umask
    if any(arg.split("=")[0] in ("--password", "--pass") for arg in argv):
        sys.exit("release: a password on the command line shows in the process list; use SORVAN_SIGN_PASSWORD "
                 "or --password-file")
    parser = argparse.ArgumentParser(prog="release.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    maker = commands.add_parser("make", allow_abbrev=False)
    maker.add_argument("components", metavar="COMPONENTS_DIR")
    maker.add_argument("--out", default=os.path.join(ROOT, "build", "release"))
    maker.add_argument("--dirty", action="store_true")
    for option in ("--pkcs12", "--password-file", "--pkcs11-module", "--key", "--cert", "--chain", "--ca",
                   "--timestamp"):
        maker.add_argument(option)
    checker = commands.add_parser("check", allow_abbrev=False)
    checker.add_argument("release", metavar="RELEASE_DIR")
    checker.add_argument("--ca")
    checker.add_argument("--signer", type=lambda text: text.replace(":", "").upper())
    checker.add_argument("--reproducible-only", action="store_true")
    commands.add_parser("names")
    o = parser.parse_args(argv)
    if o.command == "names":
        print(f"SORVAN_CLSID='{CLSID}' SORVAN_SETUP_EXE='{SETUP_EXE}' SORVAN_COMPONENTS=({' '.join(COMPONENTS)})")
        return 0
    try:
        (make if o.command == "make" else check)(o)
        return 0
    except Refused as refusal:
        print(f"release: {refusal}", file=sys.stderr)
        return 1

if __name__ == "__main__":
    SYSTEM_PYTHON = "/usr/bin/python3"
    if pefile is None and sys.executable and os.path.exists(SYSTEM_PYTHON) and \
            not os.path.samefile(sys.executable, SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    sys.exit(main(sys.argv[1:]))
