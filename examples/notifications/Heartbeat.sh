#!/bin/sh
# SPDX-License-Identifier: MIT
# Run every --heartbeat interval (PHONE_HOME_REASON=heartbeat): the panel and its way to
# you still work. A heartbeat that stops arriving is the alarm.
set -u

TO="alarm@example.com"
PUSH_URL=""
SUBJECT="ALARM PANEL ALIVE"

# shellcheck source-path=SCRIPTDIR source=phone-home-common.sh
. "$(dirname "$0")/phone-home-common.sh"
phone_home "$TO" "$SUBJECT" "$PUSH_URL"
