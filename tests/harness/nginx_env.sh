#!/bin/sh
# Debian's nginx as a second update server for the tests, the way studios
# host builds: started by any user, with its configuration, pid file, logs
# and temp folders all in one folder of its own.
#   nginx_env.sh setup DIR PORT CERTDIR [SEED]
#   nginx_env.sh cleanup DIR
#   nginx_env.sh cut DIR
#
# NGINX_CONF_TEMPLATE names another configuration to fill in instead of
# nginx.conf.in (one that gets things wrong, for tools that must notice).
#
# setup (re)starts nginx on https://localhost:PORT (127.0.0.1, and ::1 where
# the machine has it), TLS 1.2 and 1.3 with CERTDIR/server.pem and
# CERTDIR/server.key, serving DIR/www (made empty, with Launcher/ and
# builds/, then SEED's contents copied in when given):
#   /Launcher/...     static, Cache-Control: no-cache
#   /builds/...       static; ETag, Last-Modified and Range as nginx does them
#   /redirect/X       302 to SECOND_ORIGIN/builds/X
#   /chunked/X        www/X chunked, without Content-Length
#   /maintenance/X    503 for any X
#   /gzip/X           www/X with Content-Encoding: gzip, whatever the client
#                     accepts (chunked: nginx compresses as it sends)
#   /slow/X           www/X at 200 KB/s
#   /redirect-closed/X  302 to a port of 127.0.0.1 where nothing listens
# The second origin is https://NAME:PORT for the first DNS name of the server
# certificate besides localhost that /etc/hosts maps to loopback, else
# https://localhost:PORT+1, a second listener.
#
# It writes, in DIR: origin and second_origin (one URL each, no slash at the
# end), access.log (one JSON object a request, with Range, If-Range,
# Accept-Encoding, Cache-Control and the status), error.log, nginx.pid,
# nginx.conf and listen.conf, and temp/ for nginx's own files. nginx runs
# detached until cleanup, which sends TERM to the pid in DIR/nginx.pid (only
# if that process is nginx with DIR's configuration), waits for it to let go
# of the ports and leaves the folder. Run as root, the workers stay root.
#
# cut drops every connection open now, the way a player's link drops, while
# nginx goes on serving: a reload starts new workers on the same listeners
# and the old ones close what they still send within a second.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

usage() {
    echo "usage: nginx_env.sh setup DIR PORT CERTDIR [SEED] | cleanup DIR | cut DIR" >&2
    exit 2
}

fail() {
    echo "nginx_env.sh: $*" >&2
    exit 1
}

[ $# -ge 2 ] || usage
action=$1
dir=$2
case "$dir" in
/*) ;;
*) dir=$(pwd)/$dir ;;
esac
pid_file=$dir/nginx.pid

# Whether the process runs nginx with our configuration.
alive() {
    tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | grep -qF -- "$dir/nginx.conf" || return 1
    # A zombie has done its work already.
    [ "$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" != Z ]
}

# The pid, if the pid file names a live nginx of ours.
our_nginx() {
    pid=$(cat "$pid_file" 2>/dev/null) || return 1
    case "$pid" in
    '' | *[!0-9]*) return 1 ;;
    esac
    alive "$pid" || return 1
    echo "$pid"
}

stop_nginx() {
    if pid=$(our_nginx); then
        # Fast shutdown: a stalled download must not hold the run up. nginx
        # removes its pid file before it lets go of the ports, so wait for
        # the process itself.
        kill -TERM "$pid" 2>/dev/null || true
        tries=0
        while alive "$pid"; do
            tries=$((tries + 1))
            if [ $tries -gt 100 ]; then
                echo "nginx_env.sh: nginx $pid ignored TERM; killing it and its workers" >&2
                pkill -KILL -P "$pid" 2>/dev/null || true
                kill -KILL "$pid" 2>/dev/null || true
                break
            fi
            sleep 0.1
        done
    fi
    rm -f "$pid_file"
}

# For the right-hand side of sed's s|||.
escape() {
    printf '%s' "$1" | sed 's/[|&\\]/\\&/g'
}

# Prints the second host name, or nothing when the certificate has none
# that resolves to our listeners only.
second_host() {
    names=$(openssl x509 -in "$1" -noout -ext subjectAltName 2>/dev/null |
        tr ',' '\n' | sed -n 's/^ *DNS://p')
    for name in $names; do
        [ "$name" = localhost ] && continue
        case "$name" in
        *'*'*) continue ;;
        esac
        # Files only: a name that needs DNS would send queries off the machine.
        addresses=$(getent -s files ahosts "$name" 2>/dev/null | awk '{print $1}' | sort -u) ||
            continue
        [ -n "$addresses" ] || continue
        usable=yes
        for a in $addresses; do
            case "$a" in
            127.0.0.1) ;;
            ::1) [ "$2" = yes ] || usable=no ;;
            *) usable=no ;;
            esac
        done
        if [ $usable = yes ]; then
            echo "$name"
            return 0
        fi
    done
    return 0
}

case "$action" in
setup)
    if [ $# -lt 4 ] || [ $# -gt 5 ]; then
        usage
    fi
    port=$3
    cert_dir=$4
    seed=${5:-}
    case "$port" in
    '' | *[!0-9]*) usage ;;
    esac
    # Below 65535, so that the fallback's PORT+1 exists too.
    if [ "$port" -le 1024 ] || [ "$port" -ge 65535 ]; then
        fail "PORT must be above 1024 and below 65535"
    fi
    case "$dir$cert_dir" in
    *[[:space:]\;\{\}\'\"\$\\#]*) fail "DIR and CERTDIR must not hold blanks or any of ;{}'\"\$\\#" ;;
    esac
    case "$cert_dir" in
    /*) ;;
    *) cert_dir=$(pwd)/$cert_dir ;;
    esac
    if [ ! -s "$cert_dir/server.pem" ] || [ ! -s "$cert_dir/server.key" ]; then
        fail "no server.pem and server.key in $cert_dir"
    fi

    nginx_bin=$(command -v nginx || true)
    [ -n "$nginx_bin" ] || nginx_bin=/usr/sbin/nginx
    [ -x "$nginx_bin" ] || fail "nginx is not installed (Debian package nginx)"

    mkdir -p "$dir"
    stop_nginx
    rm -rf "$dir/www" "$dir/temp"
    rm -f "$dir/origin" "$dir/second_origin" "$dir/access.log" "$dir/error.log" \
        "$dir/nginx.out" "$dir/inner.sock"
    mkdir -p "$dir/www/Launcher" "$dir/www/builds" "$dir/temp"
    if [ -n "$seed" ]; then
        [ -d "$seed" ] || fail "$seed is not a folder"
        cp -R "$seed/." "$dir/www/"
    fi

    # sun_path holds 107 characters and the terminating NUL.
    [ ${#dir} -le 96 ] || fail "DIR is too long for nginx's Unix socket: $dir"

    if grep -qs '^00000000000000000000000000000001 ' /proc/net/if_inet6; then
        ipv6=yes
    else
        ipv6=no
    fi
    host=$(second_host "$cert_dir/server.pem" $ipv6)
    ports=$port
    if [ -n "$host" ]; then
        second_origin=https://$host:$port
    else
        second_port=$((port + 1))
        ports="$port $second_port"
        second_origin=https://localhost:$second_port
    fi
    : >"$dir/listen.conf"
    for p in $ports; do
        echo "listen 127.0.0.1:$p ssl;" >>"$dir/listen.conf"
        [ $ipv6 = no ] || echo "listen [::1]:$p ssl;" >>"$dir/listen.conf"
    done

    # As root, workers would switch to nobody and miss files the tests make.
    user_line=
    [ "$(id -u)" != 0 ] || user_line="user root;"

    sed -e "s|@DIR@|$(escape "$dir")|g" -e "s|@CERTDIR@|$(escape "$cert_dir")|g" \
        -e "s|@SECOND_HOST@|$host|g" -e "s|@SECOND_ORIGIN@|$second_origin|g" \
        -e "s|@USER@|$user_line|g" "${NGINX_CONF_TEMPLATE:-$here/nginx.conf.in}" >"$dir/nginx.conf"

    if ! "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" \
        </dev/null >"$dir/nginx.out" 2>&1; then
        cat "$dir/nginx.out" "$dir/error.log" >&2 2>/dev/null || true
        fail "nginx did not start"
    fi
    # The listeners are bound before nginx detaches; the pid file follows.
    tries=0
    while ! our_nginx >/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            cat "$dir/nginx.out" "$dir/error.log" >&2 2>/dev/null || true
            fail "nginx started but left no pid file"
        fi
        sleep 0.1
    done

    echo "https://localhost:$port" >"$dir/origin.tmp"
    mv -f "$dir/origin.tmp" "$dir/origin"
    echo "$second_origin" >"$dir/second_origin.tmp"
    mv -f "$dir/second_origin.tmp" "$dir/second_origin"
    ;;
cleanup)
    [ $# -eq 2 ] || usage
    stop_nginx
    ;;
cut)
    [ $# -eq 2 ] || usage
    pid=$(our_nginx) || fail "nginx of $dir is not running"
    kill -HUP "$pid"
    ;;
*)
    usage
    ;;
esac
