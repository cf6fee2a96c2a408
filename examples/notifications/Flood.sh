#!/bin/sh
# Run by RS232 In Out Port Test and Phone Home when the flood sensor (DSR) goes into alarm.
set -u

# Who to tell. An e-mail-to-SMS gateway address works for a text message.
TO="alarm@example.com"
SUBJECT="FLOODING DETECTED"

# shellcheck source-path=SCRIPTDIR source=phone-home-common.sh
. "$(dirname "$0")/phone-home-common.sh"
phone_home "$TO" "$SUBJECT"
