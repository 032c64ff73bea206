#!/bin/sh
# Runs COMMAND; whenever it creates FLAG, drops every connection of the
# suite's nginx in DIR (nginx_env.sh cut) and removes FLAG again. Exits with
# COMMAND's code.
#   cut_nginx_on_request.sh DIR FLAG COMMAND...
set -u
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 3 ] || {
    echo "usage: cut_nginx_on_request.sh DIR FLAG COMMAND..." >&2
    exit 2
}
dir=$1
flag=$2
shift 2
rm -f "$flag"
"$@" &
child=$!
while kill -0 "$child" 2>/dev/null; do
    if [ -f "$flag" ]; then
        "$here/nginx_env.sh" cut "$dir"
        rm -f "$flag"
    fi
    sleep 0.1
done
wait "$child"
