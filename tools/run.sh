#!/bin/sh
# Set up, build and start the program.
set -eu
. "$(dirname "$0")/setup.sh"
exec "$build/rs232-phone-home"
