#!/bin/sh
# The shared environment of one test run: the Wine prefix with the test CA
# trusted, the local HTTPS update server, and fixtures that only the Linux
# side can make (symbolic links).
#   testenv.sh setup ENVDIR WINE_RUN BINDIR PORT
#   testenv.sh cleanup ENVDIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
action=$1
env_dir=$2

stop_server() {
    if [ -f "$env_dir/server.pid" ]; then
        kill "$(cat "$env_dir/server.pid")" 2>/dev/null || true
        rm -f "$env_dir/server.pid"
    fi
}

case "$action" in
setup)
    wine_run=$3
    bin_dir=$4
    port=$5
    mkdir -p "$env_dir"
    stop_server

    # Certificates for the server, and the CA trusted inside the prefix.
    "$here/make_test_certs.sh" "$env_dir/certs"
    "$wine_run" "$bin_dir/trust_ca.exe" "$(printf 'Z:%s' "$env_dir/certs/ca.der" | tr / '\\')"
    # Programs signed by two studios with certificates of that CA.
    "$here/sign_test_programs.sh" "$env_dir/authenticode" "$env_dir/certs" "$bin_dir"
    "$wine_run" "$bin_dir/trust_ca.exe" \
        "$(printf 'Z:%s' "$env_dir/authenticode/other-ca.der" | tr / '\\')"

    # Update server on the loopback port the test builds of the launcher know.
    rm -rf "$env_dir/www" "$env_dir/server.port" "$env_dir/plain.port" "$env_dir/requests.log"
    mkdir -p "$env_dir/www"
    python3 "$here/update_server.py" --root "$env_dir/www" \
        --certfile "$env_dir/certs/server.pem" --keyfile "$env_dir/certs/server.key" \
        --port "$port" --port-file "$env_dir/server.port" \
        --plain-port-file "$env_dir/plain.port" --log "$env_dir/requests.log" \
        --pid-file "$env_dir/server.pid" >"$env_dir/server.out" 2>&1 &
    tries=0
    while [ ! -s "$env_dir/server.port" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 200 ]; then
            echo "the update server did not start:" >&2
            cat "$env_dir/server.out" >&2
            exit 1
        fi
        sleep 0.1
    done

    # The program that stands in for the game, and game builds made of it,
    # served under /builds/.
    cp "$bin_dir/record_args.exe" "$env_dir/game.exe"
    python3 "$here/make_test_builds.py" "$bin_dir/record_args.exe" "$env_dir/www/builds"
    # Update keys, and manifests of those builds signed with them.
    python3 "$here/sign_test_manifests.py" "$env_dir" "$port" "$bin_dir/../bin-ui/VornLauncherTestNext.exe"

    # ZIP archives for the extractor tests, with the trees they must produce.
    python3 "$here/make_test_zips.py" "$env_dir/zips"

    # A folder tree with a symbolic link that points outside it.
    rm -rf "$env_dir/links"
    mkdir -p "$env_dir/links/tree/sub" "$env_dir/links/outside"
    echo keep >"$env_dir/links/outside/precious.txt"
    echo gone >"$env_dir/links/tree/sub/inner.txt"
    ln -s ../outside "$env_dir/links/tree/link"
    # A save folder with a link to itself.
    mkdir -p "$env_dir/links/loop/Save"
    echo slot >"$env_dir/links/loop/Save/slot.sav"
    ln -s . "$env_dir/links/loop/Save/again"

    # A small drive S: of 4 MiB for the disk-space tests, where the machine
    # lets us mount one (root); the tests skip without it.
    prefix="$(dirname "$wine_run")/wineprefix"
    small="$env_dir/small"
    mountpoint -q "$small" 2>/dev/null && umount "$small" 2>/dev/null || true
    rm -f "$prefix/dosdevices/s:"
    mkdir -p "$small"
    if mount -t tmpfs -o size=4m vorn_small "$small" 2>/dev/null; then
        ln -s "$small" "$prefix/dosdevices/s:"
    fi

    # A game moved to another drive with a link left in its place: the
    # link's target is on T:, a drive of its own where the machine lets us
    # mount one (a folder of this file system otherwise).
    other="$env_dir/other_drive"
    mountpoint -q "$other" 2>/dev/null && umount "$other" 2>/dev/null || true
    rm -rf "$other" "$env_dir/links/moved"
    rm -f "$prefix/dosdevices/t:"
    mkdir -p "$other"
    mount -t tmpfs -o size=32m vorn_other "$other" 2>/dev/null || true
    mkdir -p "$other/Games/game_online" "$env_dir/links/moved"
    ln -s "$other" "$prefix/dosdevices/t:"
    ln -s "$other/Games/game_online" "$env_dir/links/moved/game_online"
    ;;
cleanup)
    stop_server
    umount "$env_dir/small" 2>/dev/null || true
    umount "$env_dir/other_drive" 2>/dev/null || true
    ;;
*)
    echo "usage: testenv.sh setup|cleanup ..." >&2
    exit 2
    ;;
esac
