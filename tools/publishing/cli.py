"""The command line of tools/publish: publishing a build, checking a live
server with `publish check`, publishing a new launcher with `publish
launcher`, or making the studio's update key with `publish keygen`."""

import argparse
import os
import sys

from publishing.archive import usable_cores
from publishing.build import Refusal, publish
from publishing.check import check_server
from publishing.interrupt import Interrupted, interruptible
from publishing.launcher import publish_launcher
from publishing.progress import progress_for
from publishing.signing import KEY_LINE, SigningError, keygen, keys_in_launcher

REFUSED = 2
FAILED = 1


def publish_main(argv):
    parser = argparse.ArgumentParser(
        prog="publish",
        description="Publishes a game build: its ZIP archive and manifest, in the server's "
                    "layout. `publish check SERVER_URL` checks a live server.")
    parser.add_argument("build_folder", metavar="BUILD_FOLDER")
    parser.add_argument("--version", required=True)
    parser.add_argument("--url", required=True, help="public address of the archive")
    parser.add_argument("--out", required=True, metavar="UPLOAD_FOLDER",
                        help="where the files go, laid out as on the server")
    parser.add_argument("--official", action="store_true",
                        help="the official build: Launcher/version_offline.json "
                             "(default: the online build, Launcher/version.json)")
    parser.add_argument("--exe", default="Game.exe")
    first = parser.add_mutually_exclusive_group()
    first.add_argument("--previous", metavar="MANIFEST_FILE_OR_URL",
                       help="the live manifest (a file, or its https:// address): the new "
                            "version must be newer in the launcher's order, and the archive "
                            "and index names must not be the live ones")
    first.add_argument("--first", action="store_true",
                       help="the very first publish of this build: there is no live manifest "
                            "to compare with")
    parser.add_argument("--ca-file", metavar="CA.pem",
                        help="trust only this CA for https (a private CA)")
    index = parser.add_mutually_exclusive_group()
    index.add_argument("--no-index", action="store_true",
                       help="publish no file index: launchers download each update whole")
    index.add_argument("--index-url", metavar="URL",
                       help="address of the file index (default: the archive's + .files; "
                            "needed for a signed archive link)")
    parser.add_argument("--sign-key", metavar="PRIVATE_KEY",
                        help="sign the manifest with this key (from publish keygen); launchers "
                             "built with its public key refuse manifests not signed by it")
    parser.add_argument("--expires", type=int, metavar="DAYS",
                        help="with --sign-key: the manifest runs out in DAYS days, and carries "
                             "the archive's signed length; publish again before then (launchers "
                             "refuse it after, and launchers before this one refuse it at once)")
    parser.add_argument("--jobs", type=int, default=usable_cores(), metavar="N",
                        help="deflate on N threads (default: one a core)")
    parser.add_argument("--quiet", action="store_true",
                        help="no progress on stderr")
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be 1 or more")
    if args.expires is not None and (args.expires < 1 or args.sign_key is None):
        parser.error("--expires needs 1 day or more, and --sign-key")
    try:
        with interruptible():
            archive, index, manifest, values, warnings = publish(
                args, progress_for(args.quiet), args.jobs)
    except Refusal as e:
        sys.stderr.write("publish: refused: %s\n" % e)
        return REFUSED
    except OSError as e:
        sys.stderr.write("publish: failed: %s; %s is as it was\n" % (e, args.out))
        return FAILED
    except Interrupted as e:
        sys.stderr.write("publish: interrupted (%s); %s is as it was\n" % (e, args.out))
        return 128 + e.number
    for warning in warnings:
        sys.stderr.write("publish: warning: %s\n" % warning)
    manifest_url = "<server>/Launcher/" + os.path.basename(manifest)
    print("published %s %s build (sha256 %s)%s" % (
        values["version"], "the official" if args.official else "the online", values["sha256"],
        ", signed" if args.sign_key else ""))
    print("upload in this order, each file to the path it has under %s:" % args.out)
    uploads = [(archive, values["download_url"])]
    if index is not None:
        uploads.append((index, values["delta_index"] + " (the archive's file index)"))
    uploads.append((manifest, "%s (last: from then on players get %s)"
                     % (manifest_url, values["version"])))
    for number, (path, place) in enumerate(uploads, 1):
        print("  %d. %s\n     -> %s" % (number, path, place))
    print("then check the live server: tools/publish check <server>")
    return 0


def check_main(argv):
    parser = argparse.ArgumentParser(
        prog="publish check",
        description="Checks a live update server the way the launcher will use it.")
    parser.add_argument("server", metavar="SERVER_URL",
                        help="the server address built into the launcher")
    parser.add_argument("--full", action="store_true",
                        help="download each archive whole and check its SHA-256")
    parser.add_argument("--build", choices=("online", "official"),
                        help="check only this build's manifest and archive (a studio that "
                             "publishes one build only)")
    parser.add_argument("--ca-file", metavar="CA.pem",
                        help="trust only this CA for https (a private CA)")
    parser.add_argument("--launcher", metavar="EXE",
                        help="verify the manifests' signatures against the keys built into "
                             "this launcher")
    parser.add_argument("--key", action="append", default=[], metavar="PUBLIC_KEY",
                        help="verify the signatures against this key line (repeatable)")
    parser.add_argument("--quiet", action="store_true",
                        help="no progress of --full's downloads on stderr")
    args = parser.parse_args(argv)
    keys = []
    if args.launcher:
        try:
            keys = keys_in_launcher(args.launcher)
        except OSError as e:
            sys.stderr.write("publish check: cannot read %s: %s\n" % (args.launcher, e.strerror))
            return FAILED
        if not keys:
            sys.stderr.write("publish check: %s holds no update keys: it takes manifests "
                             "unsigned\n" % args.launcher)
            return FAILED
    for key in args.key:
        if not KEY_LINE.fullmatch(key):
            sys.stderr.write("publish check: %r is not a key line as publish keygen prints "
                             "it\n" % key)
            return FAILED
        keys.append(key)
    problems = check_server(args.server, args.ca_file, args.full, args.build, keys,
                            progress=progress_for(args.quiet))
    return 1 if problems else 0


def launcher_main(argv):
    parser = argparse.ArgumentParser(
        prog="publish launcher",
        description="Publishes a new launcher: every running launcher replaces itself with it "
                    "at its next start.")
    parser.add_argument("exe", metavar="EXE", help="the new VornLauncher.exe (from make release)")
    parser.add_argument("--version", required=True,
                        help="its version, as in its version resource")
    parser.add_argument("--url", required=True, help="public https address of the exe")
    parser.add_argument("--out", required=True, metavar="UPLOAD_FOLDER",
                        help="where the files go, laid out as on the server")
    parser.add_argument("--sign-key", metavar="PRIVATE_KEY",
                        help="sign the launcher manifest with this key (from publish keygen)")
    args = parser.parse_args(argv)
    try:
        exe, manifest, values, warnings = publish_launcher(args)
    except Refusal as e:
        sys.stderr.write("publish launcher: refused: %s\n" % e)
        return REFUSED
    except OSError as e:
        sys.stderr.write("publish launcher: failed: %s\n" % e)
        return FAILED
    for warning in warnings:
        sys.stderr.write("publish launcher: warning: %s\n" % warning)
    print("published launcher %s (sha256 %s)%s" % (values["version"], values["sha256"],
                                                   ", signed" if args.sign_key else ""))
    print("upload in this order, each file to the path it has under %s:" % args.out)
    print("  1. %s\n     -> %s" % (exe, values["download_url"]))
    print("  2. %s\n     -> <server>/Launcher/launcher.json (last: from then on every launcher "
          "replaces itself at its start)" % manifest)
    print("then check the live server: tools/publish check <server>")
    return 0


def keygen_main(argv):
    parser = argparse.ArgumentParser(
        prog="publish keygen",
        description="Makes the studio's update key: the private key, kept offline, signs the "
                    "manifests; the public key is built into the launcher.")
    parser.add_argument("out", metavar="OUT", help="the private key file (OUT.pub: the public "
                                                   "key line)")
    args = parser.parse_args(argv)
    try:
        line = keygen(args.out)
    except (SigningError, OSError) as e:
        sys.stderr.write("publish keygen: failed: %s\n" % e)
        return FAILED
    print("private key: %s (keep it offline and backed up; whoever holds it can update "
          "every player)" % args.out)
    print("public key:  %s.pub" % args.out)
    print(line)
    print("build the launcher with -DVORN_UPDATE_KEYS=%s" % line)
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] == "check":
        return check_main(argv[1:])
    if argv and argv[0] == "keygen":
        return keygen_main(argv[1:])
    if argv and argv[0] == "launcher":
        return launcher_main(argv[1:])
    return publish_main(argv)
