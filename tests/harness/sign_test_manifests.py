#!/usr/bin/env python3
"""Makes the update keys and signed manifests of the signature tests.

    sign_test_manifests.py ENVDIR PORT LAUNCHER_NEXT_EXE

Three keys by tools/publish keygen in ENVDIR/signing (a and b are the ones
the tests build in, c is a stranger's), the published delta builds 2 and 3
copied to /signed/installed/ and /signed/refused/ on the update server (so a
test can tell its requests apart), and manifests for them signed by
tools/publish's own signing, each written as ENVDIR/signing/NAME.json:
installed_a (the online manifest, key a), installed_official_b (the official
one, key b), refused_a, refused_c, refused_official_a and refused_nodigest_a
(no sha256), replayed_a (version 1 of installed_a's build) and replayed_exe_a
(the same, naming another executable), expiring_a, expired_a and
missized_a (with a signed size and expiry: far off, past, and a size one
byte off); and launcher_a, the launcher manifest of LAUNCHER_NEXT_EXE (the
test launcher of a later version) served at /signed/launcher/.
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)

from publishing.signing import SIGNATURE_FIELD, sign, signed_text  # noqa: E402


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    env, port, launcher = sys.argv[1], sys.argv[2], sys.argv[3]
    keys = os.path.join(env, "signing")
    shutil.rmtree(keys, ignore_errors=True)
    os.makedirs(keys)
    for key in "abc":
        subprocess.run([sys.executable, os.path.join(TOOLS, "publish"), "keygen",
                        os.path.join(keys, key)], check=True, stdout=subprocess.DEVNULL)
    served = os.path.join(env, "www", "signed")
    shutil.rmtree(served, ignore_errors=True)
    for family in ("installed", "refused"):
        os.makedirs(os.path.join(served, family))
        for name in ("delta2.zip", "delta2.zip.files", "delta3.zip", "delta3.zip.files"):
            shutil.copy(os.path.join(env, "www", "builds", name),
                        os.path.join(served, family, name))
    os.makedirs(os.path.join(served, "launcher"))
    next_launcher = os.path.join(served, "launcher", os.path.basename(launcher))
    shutil.copy(launcher, next_launcher)

    def size_of(family):
        return str(os.path.getsize(os.path.join(served, family, "delta2.zip")))

    def values(family, digest=True):
        url = "https://localhost:%s/signed/%s/delta2.zip" % (port, family)
        archive = os.path.join(served, family, "delta2.zip")
        result = {"version": "2", "download_url": url, "exe": "Game.exe"}
        if digest:
            result["sha256"] = sha256_of(archive)
        result["delta_index"] = url + ".files"
        result["delta_index_sha256"] = sha256_of(archive + ".files")
        return result

    for name, manifest, key, fields in (
            ("installed_a", "version.json", "a", values("installed")),
            ("installed_official_b", "version_offline.json", "b", values("installed")),
            ("refused_a", "version.json", "a", values("refused")),
            ("refused_c", "version.json", "c", values("refused")),
            ("refused_official_a", "version_offline.json", "a", values("refused")),
            ("refused_nodigest_a", "version.json", "a", values("refused", digest=False)),
            ("replayed_a", "version.json", "a", dict(values("installed"), version="1")),
            ("replayed_exe_a", "version.json", "a",
             dict(values("installed"), version="1", exe="OldGame.exe")),
            ("expiring_a", "version.json", "a",
             dict(values("installed"), size=size_of("installed"), expires="2099-01-01T00:00:00Z")),
            ("expired_a", "version.json", "a",
             dict(values("installed"), size=size_of("installed"), expires="2020-01-01T00:00:00Z")),
            ("missized_a", "version.json", "a",
             dict(values("installed"), size=str(int(size_of("installed")) + 1),
                  expires="2099-01-01T00:00:00Z")),
            ("launcher_a", "launcher.json", "a", {
                "version": "99.0.0.0",
                "download_url": "https://localhost:%s/signed/launcher/%s"
                                % (port, os.path.basename(launcher)),
                "sha256": sha256_of(next_launcher)})):
        fields[SIGNATURE_FIELD] = sign(os.path.join(keys, key), signed_text(manifest, fields))
        with open(os.path.join(keys, name + ".json"), "w", encoding="utf-8") as f:
            f.write(json.dumps(fields, ensure_ascii=False, indent=2) + "\n")


if __name__ == "__main__":
    main()
