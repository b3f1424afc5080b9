#!/bin/sh
# The packaged printer application as systemd runs it, checked from inside a
# booted system where the packages are installed and nothing was set up by
# hand: its unit enabled and started by the package, its sandbox's rating,
# every format it takes printed to a socket:// printer (a listener standing
# in for the printer) and to a file:// printer in a folder a drop-in allows,
# every stream valid; no conversion's process left; the state, the TLS key
# and the log where the README says; a restart keeping printers and jobs; a
# stop within the README's seconds while a job prints; a kill -9 of the
# server restarted by systemd, the job it cut short ended as aborted and the
# one waiting printed once.  Every wait is for the condition itself, with a
# bound.  Prints one line a check, and "FAILED: ..." for each that fails.
#   check.sh SAMPLES   the folder holding brochure.pdf and letter.ps
set -u
app=quillet-printer-app
unit=quillet-printer-app.service
work=$(mktemp -d)
cp "$1/brochure.pdf" "$1/letter.ps" "$work/"
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
# wait_for SECONDS COMMAND...: true once COMMAND succeeds within SECONDS.
wait_for() {
    limit=$(($1 * 10))
    shift
    tries=0
    until "$@" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -lt "$limit" ] || return 1
        sleep 0.1
    done
}
answers() { $app printers && curl -s -o /dev/null http://localhost:8000/; }
jobs_in() { $app jobs -d "$1" | grep -c " $2 "; }
count_is() { [ "$(jobs_in "$1" "$2")" = "$3" ]; }
main_pid() { systemctl show -p MainPID --value "$unit"; }
# A listener on PORT that writes each connection to a file of its own in DIR.
listen() {
    mkdir -p "$2"
    socat -u "TCP-LISTEN:$1,reuseaddr,fork" SYSTEM:"cat > $2/\$\$.prn" &
}
# pages_in DIR: sets pages to the pages of the streams in DIR, each of
# which must be valid, and streams to their number.
pages_in() {
    pages=0
    streams=0
    for stream in "$1"/*.prn; do
        [ -e "$stream" ] || continue
        summary=$(oaktdump --quiet "$stream" | tail -n 1)
        case $summary in
            "valid: "*) pages=$((pages + $(echo "$summary" | cut -d' ' -f2))) streams=$((streams + 1)) ;;
            *) fail "$stream is not a valid stream: $summary" ;;
        esac
    done
}
conversions_left() { ps -eo uid=,args= | awk '$1 >= 1879048192'; }

. /etc/os-release
echo "== The packaged service on $PRETTY_NAME, systemd $(systemctl --version | head -n 1 | cut -d' ' -f2)"

[ "$(systemctl is-enabled $unit)" = enabled ] && echo "enabled by the package" || fail "the unit is not enabled"
wait_for 30 answers && echo "started by the package: answers on port 8000" || fail "the service does not answer"
exposure=$(systemd-analyze security $unit | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 4.0) }'; then
    echo "systemd-analyze security: $exposure"
else
    fail "systemd-analyze security rates the unit '$exposure', above 4.0"
fi
if [ "$(systemctl is-active avahi-daemon)" = active ] &&
    ! journalctl -u $unit --no-pager | grep -q "Unable to register system"; then
    echo "announced through avahi-daemon, which the package recommends"
else
    fail "the service did not register with avahi-daemon"
fi

# A file:// printer's folder, given as the README says: the server's option
# and ReadWritePaths= in a drop-in.
mkdir -m 0700 /srv/out
mkdir -p /etc/systemd/system/$unit.d
printf '%s\n' '[Service]' 'ExecStart=' \
    "ExecStart=$(systemctl show -p ExecStart --value $unit | sed 's/.*argv\[\]=\([^;]*\);.*/\1/') -o output-directory=/srv/out" \
    'ReadWritePaths=/srv/out' > /etc/systemd/system/$unit.d/output.conf
systemctl daemon-reload
systemctl restart $unit
wait_for 30 answers || fail "the service does not answer after its drop-in"

listen 9100 /srv/socket
$app add -d net -v socket://127.0.0.1:9100 -m quillet_mono || fail "a socket printer is refused"
$app add -d file -v file:///srv/out -m quillet_mono || fail "a file printer in the allowed folder is refused"

# One document of each format the application takes.
cd "$work"
exec 3>&2 2>/dev/null  # Ghostscript's progress
gs -q -dSAFER -dBATCH -dNOPAUSE -r300 -sPAPERSIZE=a4 -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
    -sOutputFile=letter.pwg letter.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -r300 -sPAPERSIZE=a4 -sDEVICE=urf -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
    -sOutputFile=letter.urf letter.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -r100 -sPAPERSIZE=a4 -sDEVICE=pnggray -sOutputFile=letter.png letter.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -r100 -sPAPERSIZE=a4 -sDEVICE=jpeggray -sOutputFile=letter.jpg letter.ps
exec 2>&3
documents="brochure.pdf letter.ps letter.pwg letter.urf letter.png letter.jpg"
for printer in net file; do
    for document in $documents; do
        [ -s "$document" ] || fail "$document could not be made"
        $app submit -d "$printer" "$document" >/dev/null || fail "$printer refused $document"
    done
done
for printer in net file; do
    wait_for 240 count_is "$printer" completed 6 || fail "$printer: $(jobs_in "$printer" completed) of 6 jobs completed"
done
$app jobs -d net | grep -E " (aborted|canceled) " && fail "a job did not complete"
# A file printer writes a file a job; a socket printer's connection may
# carry the jobs that wait one after the other.
pages_in /srv/out
file_pages=$pages
[ "$streams" = 6 ] || fail "the file printer wrote $streams valid streams for 6 documents"
pages_in /srv/socket
[ "$pages" = "$file_pages" ] && [ "$pages" -gt 6 ] &&
    echo "every format printed: $pages pages in valid streams to socket:// and to file://" ||
    fail "socket:// printed $pages pages, file:// $file_pages"
[ -z "$(conversions_left)" ] && echo "no conversion's process left" || fail "processes left: $(conversions_left)"

# The state and TLS key where the README says, with their modes.
curl -sk -o /dev/null https://localhost:8000/ || fail "no TLS on port 8000"
for expected in "700 /var/lib/$app" "600 /var/lib/$app/state" "700 /run/$app"; do
    path=${expected#* }
    [ "$(stat -c %a "$path" 2>/dev/null)" = "${expected%% *}" ] || fail "$path: mode $(stat -c %a "$path" 2>&1), not ${expected%% *}"
done
key=$(ls /var/lib/$app/ssl/*.key 2>/dev/null | head -n 1)
[ -n "$key" ] && [ "$(stat -c %a:%U "$key")" = 600:root ] && echo "state and TLS key in /var/lib/$app, root's alone" ||
    fail "the TLS key is not in /var/lib/$app/ssl, root's alone: $(ls -l /var/lib/$app/ssl 2>&1)"
journalctl -u $unit --no-pager | grep -q "\[Job 6\] Completed" && echo "the log in the journal" ||
    fail "the journal has no line of job 6"

# A restart keeps printers and jobs.
$app printers > before-printers
$app jobs -d net > before-jobs
systemctl restart $unit
wait_for 30 answers || fail "no answer after a restart"
$app printers | cmp -s - before-printers && $app jobs -d net | cmp -s - before-jobs &&
    echo "systemctl restart keeps printers and jobs" || fail "a restart lost printers or jobs"

# A printer that takes a little and then nothing: a job printing to it
# stalls.  systemctl stop while it prints.
socat -u TCP-LISTEN:9101,reuseaddr EXEC:"sleep 600" &
stalled=$!
$app add -d stall -v socket://127.0.0.1:9101 -m quillet_mono || fail "a second socket printer is refused"
$app submit -d stall -o copies=50 letter.ps >/dev/null
wait_for 60 count_is stall processing 1 || fail "the job to the stalled printer is not printing"
began=$(date +%s%N)
systemctl stop $unit
took=$((($(date +%s%N) - began) / 1000000))
[ "$took" -le 10000 ] && echo "systemctl stop while a job prints: $took ms" || fail "systemctl stop took $took ms"
[ -z "$(conversions_left)" ] || fail "processes left after stop: $(conversions_left)"
systemctl start $unit
wait_for 30 answers || fail "no answer after a start"
count_is stall aborted 1 || fail "the job that was printing at stop is not aborted: $($app jobs -d stall)"

# kill -9 of the server while a job prints and another waits: systemd
# starts it again; the job cut short ends as aborted, the waiting one prints
# once the printer takes data again.
$app submit -d stall -o copies=50 letter.ps >/dev/null
wait_for 60 count_is stall processing 1 || fail "the second job to the stalled printer is not printing"
$app submit -d stall brochure.pdf >/dev/null
wait_for 30 count_is stall pending 1 || fail "the third job does not wait"
killed=$(main_pid)
kill -9 "$killed"
kill "$stalled" 2>/dev/null
wait "$stalled" 2>/dev/null
listen 9101 /srv/stall
restarted() { pid=$(main_pid); [ "$pid" != 0 ] && [ "$pid" != "$killed" ] && answers; }
wait_for 30 restarted && echo "kill -9: restarted by systemd ($(systemctl show -p NRestarts --value $unit) restart)" ||
    fail "systemd did not restart the server after kill -9"
wait_for 120 count_is stall completed 1 || fail "the waiting job did not print after kill -9: $($app jobs -d stall)"
count_is stall aborted 2 || fail "the job cut short by kill -9 is not aborted: $($app jobs -d stall)"
mkdir /srv/brochure && cp /srv/out/1-brochure.pdf.prn /srv/brochure/
pages_in /srv/brochure
brochure_pages=$pages
pages_in /srv/stall
[ "$streams" = 1 ] && [ "$pages" = "$brochure_pages" ] && echo "kill -9: the job cut short aborted, the waiting one printed once" ||
    fail "after kill -9 the printer got $streams streams of $pages pages, not the waiting job's $brochure_pages"
[ -z "$(conversions_left)" ] || fail "processes left after kill -9: $(conversions_left)"

kill $(jobs -p) 2>/dev/null
if [ "$failures" -ne 0 ]; then
    journalctl -u $unit --no-pager | tail -n 40
    echo "$failures checks failed"
    exit 1
fi
echo "every check passed"
