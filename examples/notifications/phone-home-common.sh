# shellcheck shell=sh
# Shared part of Fire.sh, Flood.sh and Intruder.sh; they source it, it is not run on its own.
# RS232 In Out Port Test and Phone Home sets in the environment:
#   PHONE_HOME_CHANNEL  fire | flood | intrusion
#   PHONE_HOME_REASON   alarm | test   (test when started by a test button)

complain() {
    printf 'rs232-phone-home: %s\n' "$1" >&2
    # The program runs us detached, so stderr usually goes nowhere; leave a trace in the system log too.
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

# phone_home TO SUBJECT: mail SUBJECT to TO and pop up a desktop notice; non-zero if no mail went out.
phone_home() {
    to=$1
    subject=$2
    if [ "${PHONE_HOME_REASON:-alarm}" = test ]; then
        subject="TEST: $subject"
    fi
    host=$(uname -n)
    body="$subject
Host:    $host
Time:    $(date)
Channel: ${PHONE_HOME_CHANNEL:-unknown}
Reason:  ${PHONE_HOME_REASON:-alarm}"

    # A pop-up is a bonus: there may be no desktop session at all.
    if command -v notify-send >/dev/null 2>&1; then
        notify-send -u critical -a rs232-phone-home "$subject" "on $host" >/dev/null 2>&1 || :
    fi

    if sendmail=$(find_sendmail); then
        printf 'To: %s\nSubject: %s\n\n%s\n' "$to" "$subject" "$body" | "$sendmail" -t
    elif command -v mail >/dev/null 2>&1; then
        printf '%s\n' "$body" | mail -s "$subject" "$to"
    else
        complain "no sendmail or mail command found; not sent: $subject"
        return 1
    fi || {
        complain "the mailer failed; not sent: $subject"
        return 1
    }
}
