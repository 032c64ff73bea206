"""The update keys the players' launchers hold, and what a signing key must
be for them to take what it signs."""

from publishing.live import live_launcher, server_named
from publishing.refusal import Refusal
from publishing.signing import KEY_LINE, keys_in_launcher, signers_of
from publishing.web import FetchError

REFUSED_TEXT = "«Обновление не прошло проверку подлинности…»"


def short(key):
    return key[:27] + "…"


def signers_named(signed, signature):
    """Who made a signature over the signed bytes, for a message: the two
    keys it fits, one of which made it."""
    candidates = signers_of(signed, signature)
    if not candidates:
        return "a signature that is no P-256 signature"
    return "signed by %s" % " or ".join(short(key) for key in candidates)


def players_keys(key_lines=(), launcher=None, server=None, previous=None, ca_file=None):
    """(keys, where they were read) from the first source given: key lines,
    a launcher executable, or the live launcher of the server (given, or the
    one the live manifest's address lies under); None when no source is
    given, or the server publishes no launcher."""
    if key_lines:
        for key in key_lines:
            if not KEY_LINE.fullmatch(key):
                raise Refusal("%r is not a key line as publish keygen prints it" % key)
        return list(key_lines), "the keys given with --key"
    if launcher is not None:
        try:
            return keys_in_launcher(launcher), launcher
        except OSError as e:
            raise Refusal("cannot read %s: %s" % (launcher, e.strerror)) from None
    server = server_named(server, previous)
    if server is None:
        return None
    try:
        live = live_launcher(server, ca_file)
    except FetchError as e:
        hint = "; a server with a certificate of a private CA: give --ca-file CA.pem" \
            if e.certificate and not ca_file else ""
        raise Refusal("cannot read the live launcher of %s: %s%s (or give --launcher EXE, the "
                      "launcher players run)" % (server, e, hint)) from None
    if live is None:
        return None
    return live.keys, "the live launcher %s" % live.values["download_url"]


def check_signing_key(key_line, private_key, players):
    """Refuses a signature the players' launchers would not take: a key none
    of them holds, none at all where they hold keys, or a key whose holders
    are unknown."""
    if players is None:
        if key_line is not None:
            raise Refusal("cannot tell whether the players' launchers hold the key of %s: give "
                          "--launcher EXE (the launcher they run), --key LINE (each key it "
                          "holds), or --server SERVER_URL (its live launcher is read)"
                          % private_key)
        return
    keys, source = players
    if not keys:
        return  # launchers without keys take any manifest
    holds = ", ".join(short(key) for key in keys)
    if key_line is None:
        raise Refusal("%s holds update keys (%s): players' launchers refuse a manifest without "
                      "their signature (%s); publish with --sign-key and one of those keys"
                      % (source, holds, REFUSED_TEXT))
    if key_line not in keys:
        raise Refusal("the signing key %s (%s) is not one %s holds (%s): every player would "
                      "refuse the manifest (%s); sign with one of those keys, or first publish "
                      "a launcher that holds this one and wait until the players have it"
                      % (private_key, short(key_line), source, holds, REFUSED_TEXT))
