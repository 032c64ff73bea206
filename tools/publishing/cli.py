"""The command line of tools/publish: publishing a build, checking a live
server with `publish check`, publishing a new launcher with `publish
launcher`, or making the studio's update key with `publish keygen`."""

import argparse
import os
import sys

from publishing.archive import usable_cores
from publishing.build import publish
from publishing.refusal import Refusal
from publishing.check import check_server
from publishing.interrupt import Interrupted, interruptible
from publishing.launcher import publish_launcher
from publishing.live import authenticode_signer, server_named
from publishing.lock import upload_folder_lock
from publishing.resign import sign_again
from publishing.stats import report
from publishing.progress import progress_for
from publishing.signing import KEY_LINE, SigningError, keygen, keys_in_launcher

REFUSED = 2
FAILED = 1


def add_players_keys(parser):
    """The options that say which update keys the players' launchers hold;
    without them, those of the live launcher of --previous's server."""
    parser.add_argument("--launcher", metavar="EXE",
                        help="the launcher the players run: the signing key must be one it "
                             "holds")
    parser.add_argument("--key", action="append", default=[], metavar="PUBLIC_KEY",
                        help="a key line the players' launchers hold (repeatable)")
    parser.add_argument("--server", metavar="SERVER_URL",
                        help="the server built into the launcher: its live launcher tells the "
                             "keys (default: the server of --previous's address)")


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
    add_players_keys(parser)
    parser.add_argument("--offline", action="store_true",
                        help="do not ask the server whether the archive's and index's "
                             "addresses are new (a machine that cannot reach it)")
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
        with interruptible(), upload_folder_lock(args.out):
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
    server = server_named(args.server, args.previous) or "<server>"
    manifest_url = server.rstrip("/") + "/Launcher/" + os.path.basename(manifest)
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
    print_check_step(server, args.ca_file)
    return 0


def print_check_step(server, ca_file):
    """The next step: check, which verifies the signatures against the keys of
    the live launcher."""
    print("then check the live server (the signatures against the live launcher's keys): "
          "tools/publish check %s%s" % (server, " --ca-file " + ca_file if ca_file else ""))


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
    keys, signer = [], None
    if args.launcher:
        try:
            keys = keys_in_launcher(args.launcher)
            with open(args.launcher, "rb") as f:
                signer = authenticode_signer(f.read())
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
                            progress=progress_for(args.quiet), players_signer=signer)
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
    first = parser.add_mutually_exclusive_group()
    first.add_argument("--previous", metavar="MANIFEST_FILE_OR_URL",
                       help="the live launcher.json (a file, or its https:// address, whose "
                            "server's manifests and launcher the new one is checked against)")
    first.add_argument("--first", action="store_true",
                       help="the very first launcher published: there is none live")
    parser.add_argument("--ca-file", metavar="CA.pem",
                        help="trust only this CA for https (a private CA)")
    add_players_keys(parser)
    parser.add_argument("--offline", action="store_true",
                        help="do not ask the server whether the exe's address is new")
    args = parser.parse_args(argv)
    try:
        with upload_folder_lock(args.out):
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
    server = server_named(args.server, args.previous) or "<server>"
    print("  2. %s\n     -> %s/Launcher/launcher.json (last: from then on every launcher "
          "replaces itself at its start)" % (manifest, server.rstrip("/")))
    print_check_step(server, args.ca_file)
    return 0


def sign_main(argv):
    parser = argparse.ArgumentParser(
        prog="publish sign",
        description="Signs a published manifest again, with the same values: with another key, "
                    "or with a later expiry, without packing the build again.")
    parser.add_argument("manifest", metavar="MANIFEST",
                        help="the manifest file (version.json, version_offline.json or "
                             "launcher.json) in the upload folder")
    parser.add_argument("--sign-key", required=True, metavar="PRIVATE_KEY")
    parser.add_argument("--expires", type=int, metavar="DAYS",
                        help="the manifest runs out in DAYS days from now")
    parser.add_argument("--ca-file", metavar="CA.pem",
                        help="trust only this CA for https (a private CA)")
    add_players_keys(parser)
    args = parser.parse_args(argv)
    if args.expires is not None and args.expires < 1:
        parser.error("--expires needs 1 day or more")
    try:
        with upload_folder_lock(os.path.dirname(os.path.dirname(os.path.abspath(
                args.manifest)))):
            values = sign_again(args)
    except Refusal as e:
        sys.stderr.write("publish sign: refused: %s\n" % e)
        return REFUSED
    except OSError as e:
        sys.stderr.write("publish sign: failed: %s; %s is as it was\n" % (e, args.manifest))
        return FAILED
    print("signed %s again (version %s)%s" % (
        args.manifest, values["version"],
        ", runs out at %s" % values["expires"] if values.get("expires") else ""))
    server = args.server or "<server>"
    print("upload it to %s/Launcher/%s" % (server.rstrip("/"), os.path.basename(args.manifest)))
    print_check_step(server, args.ca_file)
    return 0


def stats_main(argv):
    parser = argparse.ArgumentParser(
        prog="publish stats",
        description="Counts the launchers seen by version in the server's access logs (the "
                    "log format of the README), for the last DAYS days of them.")
    parser.add_argument("logs", nargs="+", metavar="ACCESS_LOG",
                        help="nginx access logs (.gz ones too)")
    parser.add_argument("--days", type=int, default=7)
    args = parser.parse_args(argv)
    try:
        report(args.logs, args.days, sys.stdout)
    except OSError as e:
        sys.stderr.write("publish stats: cannot read %s: %s\n" % (e.filename, e.strerror))
        return FAILED
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
    if argv and argv[0] == "sign":
        return sign_main(argv[1:])
    if argv and argv[0] == "stats":
        return stats_main(argv[1:])
    return publish_main(argv)
