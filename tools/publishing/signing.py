"""Signed manifests: the studio's key pair (ECDSA on the P-256 curve over
SHA-256, made and used with the openssl command), the text a signature
covers, exactly as the launcher builds it, and the public keys built into a
launcher executable.

A public key travels as one line, "ecdsa-p256:" and the point's X and Y as
128 lower-case hexadecimal digits; a signature as r and s, 128 digits, in
the manifest's "update_signature"."""

import hashlib
import os
import re
import subprocess
import tempfile

from publishing.launcher_rules import extract_string, read_manifest

KEY_PREFIX = "ecdsa-p256:"
SIGNATURE_FIELD = "update_signature"
# The DER of a P-256 public key (SubjectPublicKeyInfo) up to its point, which
# follows as 04, X and Y.
SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
KEY_LINE = re.compile(r"ecdsa-p256:[0-9a-f]{128}")


class SigningError(Exception):
    """A key that cannot be made, read or used."""


def openssl(args, data=None):
    """openssl's output; raises SigningError with its message on failure."""
    try:
        result = subprocess.run(["openssl"] + args, input=data, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=120)
    except OSError as e:
        raise SigningError("cannot run openssl: %s" % e.strerror) from None
    if result.returncode != 0:
        message = result.stderr.decode("utf-8", "replace").strip().splitlines()
        raise SigningError(message[0] if message else "openssl failed")
    return result.stdout


def signed_text(manifest_name, values):
    """The bytes the launcher checks the signature against: the manifest's
    file name and the values it acts on, each on a line, as the launcher
    reads them: absent ones empty, but "exe" Game.exe. A manifest with a
    "size" or an "expires" is signed in the second form, which covers them
    too (launchers from the one that reads them on)."""
    values = dict(values, exe=values.get("exe") or "Game.exe")
    second = bool(values.get("size") or values.get("expires"))
    keys = ["version", "download_url", "exe", "sha256", "delta_index", "delta_index_sha256"]
    if second:
        keys += ["size", "expires"]
    lines = ["vorn-launcher-manifest-%d" % (2 if second else 1), "manifest=" + manifest_name]
    for key in keys:
        lines.append("%s=%s" % (key, values.get(key) or ""))
    # A manifest read with "surrogateescape" gives back its very bytes, as
    # the launcher signs them, even where they are not UTF-8.
    return ("\n".join(lines) + "\n").encode("utf-8", "surrogateescape")


def public_key_line(private_key):
    """The key line of the public half of a private key file."""
    der = openssl(["pkey", "-in", private_key, "-pubout", "-outform", "DER"])
    if len(der) != len(SPKI_PREFIX) + 65 or not der.startswith(SPKI_PREFIX + b"\x04"):
        raise SigningError("%s is not an ECDSA P-256 key (make one with tools/publish keygen)"
                           % private_key)
    return KEY_PREFIX + der[-64:].hex()


def keygen(out):
    """Writes a new private key to OUT (readable by its owner only) and its
    public key line to OUT.pub; returns the line. Never overwrites."""
    public = out + ".pub"
    for path in (out, public):
        if os.path.lexists(path):
            raise SigningError("%s already exists; a key is never overwritten" % path)
    folder = os.path.dirname(os.path.abspath(out))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".key-")
    os.close(descriptor)
    try:
        openssl(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                 "-pkeyopt", "ec_param_enc:named_curve", "-out", temporary])
        line = public_key_line(temporary)
        os.link(temporary, out)
    finally:
        os.unlink(temporary)
    with open(public, "x") as f:
        f.write(line + "\n")
    return line


def der_integers(der):
    """The two integers of a DER SEQUENCE { INTEGER r, INTEGER s }."""
    if len(der) < 8 or der[0] != 0x30 or der[1] != len(der) - 2:
        raise SigningError("openssl gave a signature that is not DER")
    numbers, pos = [], 2
    while pos < len(der):
        if der[pos] != 0x02 or pos + 2 + der[pos + 1] > len(der):
            raise SigningError("openssl gave a signature that is not DER")
        length = der[pos + 1]
        numbers.append(int.from_bytes(der[pos + 2:pos + 2 + length], "big"))
        pos += 2 + length
    if len(numbers) != 2:
        raise SigningError("openssl gave a signature that is not DER")
    return numbers


def der_signature(raw):
    """r and s, 32 bytes each, as a DER SEQUENCE of two INTEGERs."""
    body = b""
    for half in (raw[:32], raw[32:]):
        number = half.lstrip(b"\0") or b"\0"
        if number[0] & 0x80:
            number = b"\0" + number
        body += bytes([0x02, len(number)]) + number
    return bytes([0x30, len(body)]) + body


def sign(private_key, text):
    """The signature of text as 128 hexadecimal digits (r then s)."""
    r, s = der_integers(openssl(["dgst", "-sha256", "-sign", private_key], text))
    return (r.to_bytes(32, "big") + s.to_bytes(32, "big")).hex()


def verifies(key_line, text, signature):
    """True when signature (128 hexadecimal digits) is key_line's over text."""
    if not KEY_LINE.fullmatch(key_line) or not re.fullmatch(r"[0-9a-fA-F]{128}", signature):
        return False
    with tempfile.TemporaryDirectory() as folder:
        key = os.path.join(folder, "key.der")
        with open(key, "wb") as f:
            f.write(SPKI_PREFIX + b"\x04" + bytes.fromhex(key_line[len(KEY_PREFIX):]))
        raw = os.path.join(folder, "signature.der")
        with open(raw, "wb") as f:
            f.write(der_signature(bytes.fromhex(signature)))
        result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", key, "-keyform", "DER",
                                 "-signature", raw], input=text, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=120)
    return result.returncode == 0


def add_signature(values, manifest_name, private_key, key_line):
    """Signs the values as the launcher will check them, makes sure the
    signature verifies with the key's public half, and adds it to values."""
    text = signed_text(manifest_name, values)
    values[SIGNATURE_FIELD] = sign(private_key, text)
    if not verifies(key_line, text, values[SIGNATURE_FIELD]):
        raise SigningError("the signature just made does not verify")


def signed_values(text):
    """The values of a manifest's text that its signature covers, as the
    launcher reads them."""
    values = read_manifest(text)
    for key in ("delta_index", "delta_index_sha256", "size", "expires"):
        values[key] = extract_string(text, key) or None
    return values


def signed_by(keys, manifest_name, text):
    """The first of keys whose signature the manifest carries, else None."""
    signature = extract_string(text, SIGNATURE_FIELD)
    if not signature:
        return None
    signed = signed_text(manifest_name, signed_values(text))
    for key in keys:
        if verifies(key, signed, signature):
            return key
    return None


def read_back_problem(text, values):
    """What the launcher would read differently from the values in the
    manifest's text, or None."""
    for key, value in values.items():
        seen = extract_string(text, key)
        if seen != value:
            return "the launcher would read %s as %r instead of %r" % (key, seen, value)
    return None


def keys_in_launcher(exe):
    """The update keys built into a launcher executable, in their order."""
    with open(exe, "rb") as f:
        return keys_in_launcher_bytes(f.read())


def keys_in_launcher_bytes(data):
    """The update keys among an executable's bytes, in their order."""
    keys = []
    for match in re.finditer(rb"ecdsa-p256:[0-9a-f]{128}", data):
        key = match.group().decode("ascii")
        if key not in keys:
            keys.append(key)
    return keys


# P-256: the field, the curve's b (a is -3), the group's order and generator.
P256_P = 0xffffffff00000001000000000000000000000000ffffffffffffffffffffffff
P256_B = 0x5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b
P256_N = 0xffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551
P256_G = (0x6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296,
          0x4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5)


def point_add(a, b):
    """a + b on P-256, None being the point at infinity."""
    if a is None:
        return b
    if b is None:
        return a
    if a[0] == b[0] and (a[1] + b[1]) % P256_P == 0:
        return None
    if a == b:
        slope = (3 * a[0] * a[0] - 3) * pow(2 * a[1], -1, P256_P)
    else:
        slope = (b[1] - a[1]) * pow(b[0] - a[0], -1, P256_P)
    x = (slope * slope - a[0] - b[0]) % P256_P
    return x, (slope * (a[0] - x) - a[1]) % P256_P


def point_times(k, point):
    result = None
    while k:
        if k & 1:
            result = point_add(result, point)
        point = point_add(point, point)
        k >>= 1
    return result


def signers_of(text, signature):
    """The key lines whose signature over text this can be: ECDSA gives two
    keys for one signature, and the one that made it is among them. Empty
    for a signature that is no P-256 signature at all."""
    if not re.fullmatch(r"[0-9a-fA-F]{128}", signature):
        return []
    r, s = int(signature[:64], 16), int(signature[64:], 16)
    if not (0 < r < P256_N and 0 < s < P256_N):
        return []
    y_squared = (pow(r, 3, P256_P) - 3 * r + P256_B) % P256_P
    y = pow(y_squared, (P256_P + 1) // 4, P256_P)
    if y * y % P256_P != y_squared:
        return []
    digest = int.from_bytes(hashlib.sha256(text).digest(), "big")
    inverse = pow(r, -1, P256_N)
    minus_e_g = point_times((-digest * inverse) % P256_N, P256_G)
    lines = []
    for point in ((r, y), (r, P256_P - y)):
        key = point_add(point_times(s * inverse % P256_N, point), minus_e_g)
        if key is not None:
            lines.append(KEY_PREFIX + key[0].to_bytes(32, "big").hex() +
                         key[1].to_bytes(32, "big").hex())
    return lines
