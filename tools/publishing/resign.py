"""`publish sign MANIFEST`: a published manifest signed again, with the
same values, by another key or with a later expiry, without packing the
build again."""

import json
import os

from publishing.build import check_manifest_value, expiry_after, render_manifest, signing_key_line
from publishing.live import LAUNCHER_MANIFEST
from publishing.players import check_signing_key, players_keys
from publishing.refusal import Refusal
from publishing.signing import SIGNATURE_FIELD, SigningError, add_signature, read_back_problem

MANIFEST_NAMES = ("version.json", "version_offline.json", LAUNCHER_MANIFEST)


def sign_again(args):
    """Writes the manifest again in place, signed with --sign-key (and with
    --expires, a new expiry); returns its values."""
    name = os.path.basename(args.manifest)
    if name not in MANIFEST_NAMES:
        raise Refusal("%s is not named as a manifest on the server (%s): the launcher checks "
                      "the signature against that name" % (args.manifest,
                                                           ", ".join(MANIFEST_NAMES)))
    try:
        with open(args.manifest, "rb") as f:
            values = json.loads(f.read().decode("utf-8"))
    except OSError as e:
        raise Refusal("cannot read %s: %s" % (args.manifest, e.strerror)) from None
    except ValueError:
        raise Refusal("%s is not a manifest tools/publish wrote (not JSON)" % args.manifest) \
            from None
    if not isinstance(values, dict) or not all(isinstance(v, str) for v in values.values()) \
            or not values.get("version") or not values.get("download_url"):
        raise Refusal("%s is not a manifest tools/publish wrote" % args.manifest)
    values.pop(SIGNATURE_FIELD, None)
    if args.expires is not None:
        if not values.get("size"):
            raise Refusal("%s carries no signed archive length (size), which an expiry needs: "
                          "publish the build again with --expires" % args.manifest)
        values["expires"] = expiry_after(args.expires)
    for field, value in values.items():
        check_manifest_value(field, value)
    key_line = signing_key_line(args.sign_key)
    check_signing_key(key_line, args.sign_key,
                      players_keys(args.key, args.launcher, args.server, None, args.ca_file))
    try:
        add_signature(values, name, args.sign_key, key_line)
    except SigningError as e:
        raise Refusal("cannot sign with %s: %s" % (args.sign_key, e)) from None
    text = render_manifest(values)
    problem = read_back_problem(text, values)
    if problem:
        raise Refusal(problem + "; manifest not signed again")
    temporary = os.path.join(os.path.dirname(os.path.abspath(args.manifest)),
                             ".%s.%d.tmp" % (name, os.getpid()))
    try:
        with open(temporary, "wb") as f:
            f.write(text.encode("utf-8"))
        os.replace(temporary, args.manifest)
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)
    return values
