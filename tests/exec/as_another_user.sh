#!/bin/sh
# Runs a test program as an ordinary account (nobody) when the tests run as root, so that what
# the fence makes for an ordinary user (a user namespace of one id) is tried too.
set -eu
if [ "$(id -u)" -ne 0 ]; then
  echo "the tests already run as an ordinary account"
  exit 0
fi
cd /var/tmp
exec setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/var/tmp "$@"
