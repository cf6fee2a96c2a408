# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Shared part of Fire.sh, Flood.sh and Intruder.sh; they source it, it is not run on its own.
# RS232 In Out Port Test and Phone Home sets in the environment:
#   PHONE_HOME_CHANNEL  fire | flood | intrusion | device (Fault.sh) | heartbeat (Heartbeat.sh)
#   PHONE_HOME_REASON   alarm | test | clear | lost | restored | heartbeat
#   PHONE_HOME_PORT     the port as given: 3, or a device path
#   PHONE_HOME_DEVICE   the device opened: /dev/com3
#   PHONE_HOME_LINE     CTS | DSR | DCD (empty for the device)
#   PHONE_HOME_TIME     when it happened, ISO 8601 (a retry keeps the event's time)
#   PHONE_HOME_ATTEMPT  1, then 2, 3, ... when a failed script is tried again
# The heartbeat adds PHONE_HOME_UPTIME, PHONE_HOME_LINES, PHONE_HOME_IN_ALARM,
# PHONE_HOME_ALARMS and PHONE_HOME_FAILED. A script must exit non-zero when a
# message did not go out: the program then tries it again later.

# Apprise (Debian package apprise) reaches about a hundred services, each from
# one URL: Telegram, Pushover, Matrix, ntfy, Signal, SMS gateways, mail. Blank-
# separated URLs here send every script's message there too, for example
#   APPRISE_URLS="tgram://BOT_TOKEN/CHAT_ID pover://USER_KEY@APP_TOKEN?priority=emergency"
# (Pushover's emergency priority repeats on the phone until someone acknowledges).
APPRISE_URLS=${APPRISE_URLS:-}

# How mail leaves; set here for every script, or in one script above the line
# that sources this file:
#   MAIL_VIA=smtp      curl hands it to the mail server at SMTP_URL (postfix,
#                      exim4 and the like listen on localhost)
#   MAIL_VIA=msmtp     msmtp, set up in /etc/msmtprc
#   MAIL_VIA=sendmail  sendmail -t: not from rs232-phone-homed with postfix or
#                      exim4, whose sendmail needs privileges the service lacks
#   empty              msmtp if sendmail is msmtp's (msmtp-mta), else smtp
MAIL_VIA=${MAIL_VIA:-}
SMTP_URL=${SMTP_URL:-smtp://localhost}
# The sender; empty: rs232-phone-home@ this host's name (msmtp: its "from").
MAIL_FROM=${MAIL_FROM:-}
# Seconds a mailer may take before the message counts as not sent.
MAIL_TIMEOUT=${MAIL_TIMEOUT:-60}

complain() {
    # The program shows the last lines of stderr when a script fails; the log keeps them for later.
    printf 'rs232-phone-home: %s\n' "$1" >&2
    if command -v logger >/dev/null 2>&1; then
        logger -t rs232-phone-home -p user.err -- "$1" 2>/dev/null || :
    fi
}

# sendmail usually lives in /usr/sbin, which is not on an ordinary user's PATH.
find_sendmail() {
    command -v sendmail 2>/dev/null && return 0
    for candidate in /usr/sbin/sendmail /usr/lib/sendmail; do
        if [ -x "$candidate" ]; then
            printf '%s\n' "$candidate"
            return 0
        fi
    done
    return 1
}

# Runs a mailer for at most MAIL_TIMEOUT seconds: a mailer that waits forever
# would hold the alarm back without a word.
bounded() {
    if command -v timeout >/dev/null 2>&1; then
        timeout -k 5 "$MAIL_TIMEOUT" "$@"
    else
        "$@"
    fi
}

# The way mail leaves when MAIL_VIA is empty: msmtp where sendmail is msmtp's
# (msmtp-mta), else SMTP to the local mail server (postfix, exim4), whose own
# sendmail needs a set-group-id helper that rs232-phone-homed's sandbox refuses.
mail_way() {
    if [ -n "$MAIL_VIA" ]; then
        printf '%s\n' "$MAIL_VIA"
    elif sendmail=$(find_sendmail) && [ "$(basename "$(readlink -f "$sendmail")")" = msmtp ]; then
        echo msmtp
    elif command -v curl >/dev/null 2>&1; then
        echo smtp
    else
        echo sendmail
    fi
}

# push URL SUBJECT BODY: POST the alarm to a push service or an SMS provider's HTTP API.
push() {
    if ! command -v curl >/dev/null 2>&1; then
        complain "curl is not installed; no push sent: $2"
        return 1
    fi
    curl -fsS --max-time 30 -H "Title: $2" -H "Priority: urgent" --data-binary "$3" "$1" >/dev/null || {
        complain "the push to $1 failed; not sent: $2"
        return 1
    }
}

# notify_apprise SUBJECT BODY: non-zero unless every URL took the message.
notify_apprise() {
    if ! command -v apprise >/dev/null 2>&1; then
        complain "apprise is not installed (package apprise); not sent to APPRISE_URLS: $1"
        return 1
    fi
    # Word splitting is wanted: one argument per URL.
    # shellcheck disable=SC2086
    bounded apprise --title "$1" --body "$2" $APPRISE_URLS >/dev/null || {
        complain "apprise could not deliver to every URL in APPRISE_URLS; not sent: $1"
        return 1
    }
}

# smtp_send TO MESSAGE: hands the message to the server at SMTP_URL; TO may
# list several addresses, separated by commas or spaces.
smtp_send() {
    to=$1
    message=$2
    if ! command -v curl >/dev/null 2>&1; then
        complain "curl is not installed, so no mail can go to $SMTP_URL"
        return 1
    fi
    set -- --mail-from "$mail_from"
    for rcpt in $(printf '%s' "$to" | tr ',' ' '); do
        set -- "$@" --mail-rcpt "$rcpt"
    done
    printf '%s\n' "$message" |
        curl -sS --max-time "$MAIL_TIMEOUT" --crlf --url "$SMTP_URL" "$@" --upload-file - >/dev/null
}

# mail_to TO SUBJECT BODY: non-zero unless the mail system took the message.
mail_to() {
    way=$(mail_way)
    mail_from=${MAIL_FROM:-rs232-phone-home@$(uname -n)}
    header="To: $1
Subject: $2
Date: $(date -R)"
    case $way in
        smtp)
            smtp_send "$1" "From: $mail_from
$header

$3" ;;
        msmtp)
            # msmtp sets the sender from /etc/msmtprc unless MAIL_FROM says otherwise.
            [ -z "${MAIL_FROM:-}" ] || header="From: $MAIL_FROM
$header"
            printf '%s\n\n%s\n' "$header" "$3" | bounded msmtp -t ;;
        sendmail)
            if ! sendmail=$(find_sendmail); then
                complain "no sendmail found; not sent: $2"
                return 1
            fi
            printf '%s\n\n%s\n' "$header" "$3" | bounded "$sendmail" -t ;;
        *)
            complain "MAIL_VIA=$way is not smtp, msmtp or sendmail; not sent: $2"
            return 1 ;;
    esac || {
        complain "the mail to $1 did not go out by $way; not sent: $2"
        return 1
    }
}

# phone_home TO SUBJECT [PUSH_URL]: mail SUBJECT to TO (unless empty), push it to PUSH_URL (if set) and
# pop up a desktop notice; non-zero if a message that was asked for did not go out.
phone_home() {
    to=$1
    subject=$2
    push_url=${3:-}
    case "${PHONE_HOME_REASON:-alarm}" in
        test) subject="TEST: $subject" ;;
        clear) subject="CLEARED: $subject" ;;
    esac
    host=$(uname -n)
    where="port ${PHONE_HOME_PORT:-?} (${PHONE_HOME_DEVICE:-?})"
    case "${PHONE_HOME_REASON:-alarm}" in
        clear) what="${PHONE_HOME_LINE:-line} low again" ;;
        lost) what="device lost" ;;
        restored) what="device back" ;;
        heartbeat) what="alive for ${PHONE_HOME_UPTIME:-?} s, lines ${PHONE_HOME_LINES:-?}, in alarm: ${PHONE_HOME_IN_ALARM:-none}, since the last heartbeat ${PHONE_HOME_ALARMS:-0} alarms and ${PHONE_HOME_FAILED:-0} failed notifications" ;;
        *) what="${PHONE_HOME_LINE:-line} high" ;;
    esac
    body="$subject: $what on $where at ${PHONE_HOME_TIME:-$(date)}, host $host
Channel: ${PHONE_HOME_CHANNEL:-unknown}
Reason:  ${PHONE_HOME_REASON:-alarm}
Attempt: ${PHONE_HOME_ATTEMPT:-1}"

    # A pop-up is a bonus: there may be no desktop session at all.
    if command -v notify-send >/dev/null 2>&1; then
        notify-send -u critical -a rs232-phone-home "$subject" "on $host" >/dev/null 2>&1 || :
    fi

    if [ -z "$to" ] && [ -z "$push_url" ] && [ -z "$APPRISE_URLS" ]; then
        complain "none of TO, PUSH_URL and APPRISE_URLS is set; not sent: $subject"
        return 1
    fi
    status=0
    if [ -n "$APPRISE_URLS" ]; then
        notify_apprise "$subject" "$body" || status=1
    fi
    if [ -n "$to" ]; then
        mail_to "$to" "$subject" "$body" || status=1
    fi
    if [ -n "$push_url" ]; then
        push "$push_url" "$subject" "$body" || status=1
    fi
    return $status
}
