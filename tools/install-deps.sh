#!/bin/sh
# Installs the Debian packages that building and testing need, when missing,
# and makes the players' Russian locale available to Wine. Extra package names
# given as arguments are installed too (the bench's, for example).
set -eu

packages="cmake ninja-build make mingw-w64 g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    wine wine64 xvfb xauth x11-utils imagemagick xdotool googletest python3 openssl zip unzip
    locales nginx osslsigncode $*"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    # The tests start nginx themselves; the packaged service must not start
    # and take port 80.
    policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
        $sudo chmod +x /usr/sbin/policy-rc.d
        policy=/usr/sbin/policy-rc.d
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
    [ -z "$policy" ] || $sudo rm -f "$policy"
    if [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now nginx >/dev/null 2>&1 || true
    fi
fi

if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
    echo "Generating the ru_RU.UTF-8 locale"
    $sudo sed -i 's/^# *ru_RU.UTF-8 UTF-8/ru_RU.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
fi
