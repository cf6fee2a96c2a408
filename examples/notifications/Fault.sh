#!/bin/sh
# SPDX-License-Identifier: MIT
# Run by rs232-phone-homed when the serial device goes away (PHONE_HOME_REASON=lost)
# and when it is back (restored): while it is away, no alarm can be seen.
set -u

TO="alarm@example.com"
PUSH_URL=""
SUBJECT="ALARM PANEL DEVICE ${PHONE_HOME_REASON:-lost}"

# shellcheck source-path=SCRIPTDIR source=phone-home-common.sh
. "$(dirname "$0")/phone-home-common.sh"
phone_home "$TO" "$SUBJECT" "$PUSH_URL"
