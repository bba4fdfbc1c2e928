#!/bin/sh
# Starts the kiosk's browser on the payment page, with the service's token.
# Run it as root (the token file is the service's own, mode 0600); the
# browser runs as the kiosk's user KIOSK_USER (root's Chromium would need
# --no-sandbox: never do that on a kiosk).
#   usage: kiosk-browser.sh PRICE
set -eu
token=$(cat "${STATE_DIR:-/var/lib/notavero-serve}/token")
exec runuser -u "${KIOSK_USER:-kiosk}" -- chromium --kiosk "http://127.0.0.1:8765/kiosk.html?price=${1:-100}#token=$token"
