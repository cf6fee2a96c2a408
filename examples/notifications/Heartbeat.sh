#!/bin/sh
# SPDX-License-Identifier: MIT
# Run every --heartbeat interval (PHONE_HOME_REASON=heartbeat): the panel and its way to
# you still work. A heartbeat that stops arriving is the alarm.
set -u

TO="alarm@example.com"
PUSH_URL=""
SUBJECT="ALARM PANEL ALIVE"
# With GSM_DEVICE set (here or in phone-home-common.sh) every heartbeat also
# checks the modem path: SIM, network, signal. SMS_HEARTBEAT=1 sends it by SMS too.

# shellcheck source-path=SCRIPTDIR source=phone-home-common.sh
. "$(dirname "$0")/phone-home-common.sh"
status=0
phone_home "$TO" "$SUBJECT" "$PUSH_URL" || status=1
# A broken second path fails the heartbeat, so it is shown and retried now,
# not found on the night it is needed.
if [ -n "$GSM_DEVICE" ]; then
    gsm_check || status=1
fi
exit $status
