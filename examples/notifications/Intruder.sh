#!/bin/sh
# SPDX-License-Identifier: MIT
# Run by RS232 In Out Port Test and Phone Home when the intrusion sensor (DCD) goes into alarm.
set -u

# Who to tell by e-mail; empty for no mail. Many carriers have closed their
# e-mail-to-SMS gateways: for a message on a phone, prefer PUSH_URL.
TO="alarm@example.com"
# Optional: a URL that takes the alarm text as an HTTP POST, such as an ntfy
# topic (https://ntfy.sh/your-secret-topic) or a self-hosted push service.
PUSH_URL=""
SUBJECT="INTRUSION DETECTED"

# shellcheck source-path=SCRIPTDIR source=phone-home-common.sh
. "$(dirname "$0")/phone-home-common.sh"
phone_home "$TO" "$SUBJECT" "$PUSH_URL"
