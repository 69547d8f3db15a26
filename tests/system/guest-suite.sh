#!/bin/sh
# The checks that depend on the kernel, run by BusyBox sh inside each guest that
# scripts/test-system boots: signals from real faults, flock and /proc/locks, /proc, the account
# switch, sessions, descriptors with and without close_range(). Prints one PASS or FAIL line per
# check, named after the guest, then "GUEST: N passed, M failed".
#
#   guest-suite.sh GUEST
#
# Every check runs in its own directory under /tmp, kills what it started by PID, and waits by
# polling with a bound, never by a bare sleep.
guest=${1:-guest}
S=/bin/sentrel
HELPER=/bin/guest-helper
LAUNCHER=/bin/without_close_range
STAMP='[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] '
# What a second instance says about the locked PID file pid.
ALREADY_LOCKED="$S: flock(): PID file is already locked by another process: \`pid':"
ALREADY_LOCKED="$ALREADY_LOCKED Resource temporarily unavailable"
passed=0
failed=0
why=
tracked=

# expect WHAT ACTUAL EXPECTED: records the first mismatch of the running check.
expect() {
  [ "$2" = "$3" ] && return 0
  [ -n "$why" ] || why="$1: got '$2', expected '$3'"
  return 1
}

flunk() {
  [ -n "$why" ] || why=$1
}

# Kills these PIDs when the check ends.
track() {
  tracked="$tracked $*"
}

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds or SECONDS have
# passed (by the uptime clock: an emulated board may run the loop itself slowly).
wait_for() {
  read -r uptime _ </proc/uptime
  deadline=$((${uptime%.*} + $1))
  shift
  until "$@"; do
    read -r uptime _ </proc/uptime
    [ "${uptime%.*}" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# One-letter state of a process (Z for a zombie), or "gone".
state_of() {
  line=$(cat "/proc/$1/stat" 2>/dev/null) || {
    echo gone
    return
  }
  line=${line##*) }
  echo "${line%% *}"
}

has_ended() {
  case $(state_of "$1") in
    Z | gone) return 0 ;;
  esac
  return 1
}

is_running() {
  ! has_ended "$1"
}

# Field N (1-based, as in proc(5)) of /proc/PID/stat; the command name never holds a blank here.
stat_field() {
  set -- "$1" $(cat "/proc/$2/stat" 2>/dev/null)
  [ $# -gt "$1" ] || return 1
  shift "$1"
  echo "$1"
}

# finish PID: waits up to 10 s for a background job to end and sets rc to its status.
# supervise [WRAPPER] SENTREL ARGS...: starts sentrel with these arguments (a PID file named
# pid among them) in the background and waits for PROGRAM to hold the file; sets sup and
# program, both killed when the check ends.
supervise() {
  "$@" &
  sup=$!
  track $sup
  wait_for 10 locked_pid pid || flunk "no locked PID file"
  program=$(cat pid)
  track "$program"
}

finish() {
  if wait_for 10 has_ended "$1"; then
    wait "$1"
    rc=$?
  else
    kill -9 "$1" 2>/dev/null
    wait "$1"
    rc=timeout
  fi
}

# The PIDs whose parent is PID.
children_of() {
  for stat in /proc/[0-9]*/stat; do
    pid=${stat#/proc/}
    pid=${pid%/stat}
    [ "$(stat_field 4 "$pid")" = "$1" ] && echo "$pid"
  done
}

# Type, mode, access and PID of the locks on inode number INODE, from /proc/locks.
locks_on() {
  awk -v inode="$1" '$6 ~ ":" inode "$" { print $2, $3, $4, $5 }' /proc/locks
}

# The supplementary groups in a copy of /proc/PID/status, sorted, on one line.
groups_in() {
  awk '/^Groups:/ { for (i = 2; i <= NF; ++i) print $i }' "$1" | sort -n | tr '\n' ' '
}

# Targets of the descriptors above 2 of PID, one a line, sorted.
high_descriptors() {
  for fd in /proc/"$1"/fd/*; do
    [ "${fd##*/}" -gt 2 ] && readlink "$fd"
  done | sort
}

# The log's lines with their time stamps checked and removed.
log_events() {
  while IFS= read -r line; do
    case $line in
      $STAMP*) echo "${line#$STAMP}" ;;
      *) echo "UNSTAMPED: $line" ;;
    esac
  done <"$1"
}

# file_is FILE TEXT: FILE exists and holds TEXT (less a final newline).
file_is() {
  [ -e "$1" ] && [ "$(cat "$1")" = "$2" ]
}

# uptime in hundredths of a second, for measuring the length of a command.
now() {
  awk '{ printf "%d\n", $1 * 100 }' /proc/uptime
}

# True when PID file FILE is locked and names a live process: PROGRAM runs.
locked_pid() {
  [ -s "$1" ] && $HELPER locked "$1" && is_running "$(cat "$1")"
}

# run_check NAME FUNCTION [ARGUMENT]: runs FUNCTION in a fresh directory and reports it.
run_check() {
  name=$1
  dir=/tmp/check$((passed + failed))
  mkdir -m 755 "$dir" && cd "$dir" || exit 1
  why=
  tracked=
  "$2" "$3"
  for pid in $tracked; do
    kill -9 "$pid" 2>/dev/null
  done
  for pid in $tracked; do
    wait "$pid" 2>/dev/null
  done
  cd /
  if [ -z "$why" ]; then
    echo "PASS $guest: $name"
    passed=$((passed + 1))
  else
    # One line per check, whatever the texts compared.
    echo "FAIL $guest: $name: $(printf %s "$why" | tr '\n' '|')"
    failed=$((failed + 1))
  fi
}

# PROGRAM dies of a real memory fault once, then exits 7: relaunched, handler run, status passed.
check_relaunch_after_fault() {
  printf '#!/bin/sh\necho "$# $*" >> %s/handler.out\n' "$dir" >handler
  chmod 755 handler
  $S -l log -e ./handler sh -c \
    'echo $$ >> runs; [ -e crashed ] && exit 7; : > crashed; exec /bin/guest-helper segv'
  expect "sentrel's status" $? 7
  set -- $(cat runs)
  expect "PROGRAM runs" $# 2
  first=$1
  second=$2
  wait_for 10 test -s handler.out
  expect "handler arguments" "$(cat handler.out)" "2 $first 11"
  expect "event log" "$(log_events log)" "The process was successfully started: pid=$first
The process was terminated by signal: pid=$first, signal=11
The process was successfully started: pid=$second
The process was successfully terminated: pid=$second, exit_code=7"
}

check_exit_statuses() {
  for status in 0 1 42 255; do
    $S sh -c "exit $status"
    expect "sentrel's status for exit $status" $? "$status"
  done
  # SIGKILL ends the supervision with 0.
  $S -l log sh -c 'echo $$ > me; kill -KILL $$'
  expect "sentrel's status after SIGKILL" $? 0
  expect "event log after SIGKILL" "$(log_events log | tail -n 1)" \
    "The process was terminated by signal: pid=$(cat me), signal=9"
}

check_pid_file_and_lock() {
  $S -p pid -l log sh -c 'echo $$ > me; exec sleep 30' &
  sup=$!
  track $sup
  wait_for 10 locked_pid pid || flunk "no locked PID file"
  wait_for 10 test -s me
  program=$(cat me)
  track "$program"
  expect "PID file" "$(cat pid)" "$program"
  expect "PID file size" $(($(wc -c <pid))) ${#program}
  expect "PID file mode" "$(stat -c %a pid)" 604
  # The kernel lists the lock under the process that took it, the supervisor; PROGRAM holds it
  # through the descriptor it inherited.
  inode=$(stat -c %i pid)
  expect "/proc/locks" "$(locks_on "$inode")" "FLOCK ADVISORY WRITE $sup"
  $S --test-alive -p pid
  expect "--test-alive while running" $? 0
  # A second instance is refused before it touches the first one's log.
  $S -p pid -l log sh -c ': > second' 2>err
  expect "second instance's status" $? 2
  expect "second instance's message" "$(cat err)" "$ALREADY_LOCKED"
  [ -e second ] && flunk "the second instance ran its PROGRAM"
  expect "log after the refusal" "$(log_events log)" \
    "The process was successfully started: pid=$program"
  kill -KILL "$program"
  finish $sup
  expect "sentrel's status" "$rc" 0
  $HELPER locked pid
  expect "lock after PROGRAM's end" $? 1
  expect "/proc/locks after PROGRAM's end" "$(locks_on "$inode")" ""
  $S --test-alive -p pid
  expect "--test-alive after the end" $? 1
}

# PROGRAM that exits 7 on SIGTERM: the stop answers 0, the supervision ends with 7.
check_stop_after_term() {
  supervise $S -p pid -l log \
    sh -c 'trap "exit 7" TERM; echo $$ > me; while :; do sleep 0.1; done'
  $S --stop=5 -p pid 2>err
  expect "--stop status" $? 0
  expect "--stop message" "$(cat err)" ""
  finish $sup
  expect "sentrel's status" "$rc" 7
  expect "last event" "$(log_events log | tail -n 1)" \
    "The process was successfully terminated: pid=$program, exit_code=7"
  $S --stop=5 -p missing.pid
  expect "--stop status without a PID file" $? 0
  expect "PID file made by --stop" "$(ls)" "err
log
me
pid"
}

# PROGRAM that ignores SIGTERM: SIGKILL after the timeout, and 1. Two seconds, so that a slow
# emulated supervisor has reaped the killed PROGRAM before the stop looks again.
check_stop_after_kill() {
  supervise $S -p pid -l log sh -c 'trap "" TERM; exec sleep 30'
  started=$(now)
  $S --stop=2 -p pid 2>err
  expect "--stop status" $? 1
  elapsed=$(($(now) - started))
  [ "$elapsed" -ge 200 ] && [ "$elapsed" -lt 1000 ] || flunk "--stop took $elapsed/100 s"
  expect "--stop message" "$(cat err)" ""
  finish $sup
  expect "sentrel's status" "$rc" 0
  expect "last event" "$(log_events log | tail -n 1)" \
    "The process was terminated by signal: pid=$program, signal=9"
}

# A locked file that names a process not holding it: nobody is signalled, and 2.
check_stop_untrusted_file() {
  supervise $S -p pid sh -c 'exec sleep 30'
  sleep 30 &
  decoy=$!
  track $decoy
  printf %s $decoy >pid
  $S --stop=1 -p pid 2>err
  expect "--stop status" $? 2
  expect "--stop message" "$(cat err)" \
    "$S: kill(): PID file does not name the process that holds it: \`pid'"
  is_running $decoy || flunk "the decoy was signalled"
  is_running "$program" || flunk "PROGRAM was signalled"
}

# As nobody, root's PROGRAM cannot be signalled: 3.
check_stop_not_permitted() {
  supervise $S -p pid sh -c 'exec sleep 30'
  $S -u nobody --stop=1 -p "$dir/pid" 2>err
  expect "--stop status" $? 3
  expect "--stop message" "$(cat err)" "$S: kill(): Operation not permitted"
  is_running "$program" || flunk "PROGRAM was signalled"
}

# su gives the caller root's groups from /etc/group (0 and 10), which PROGRAM must not keep:
# it gets nobody's IDs and nobody's own supplementary groups (20, 29, 44) only.
check_account_switch() {
  su root -s /bin/sh -c \
    "cat /proc/self/status > parent; $S -u nobody cat /proc/self/status > status"
  expect "sentrel's status" $? 0
  expect "the caller's groups" "$(groups_in parent)" "0 10 "
  expect "PROGRAM's user" "$(awk '/^Uid:/ { print $2, $3, $4, $5 }' status)" \
    "65534 65534 65534 65534"
  expect "PROGRAM's group" "$(awk '/^Gid:/ { print $2, $3, $4, $5 }' status)" \
    "65534 65534 65534 65534"
  expect "PROGRAM's groups" "$(groups_in status)" "20 29 44 65534 "
}

# -R out~2 keeps out~ and out under 1,024 bytes each (plus one copy buffer): together they are
# the tail of PROGRAM's numbered lines, with no line lost between them.
check_rotation() {
  $S -R out~2 sh -c 'seq 1 3000; seq 3001 6000 >&2'
  expect "sentrel's status" $? 0
  expect "files" "$(ls)" "out
out~"
  size=$(($(wc -c <out~)))
  [ "$size" -ge 1024 ] && [ "$size" -lt 2048 ] || flunk "out~ has $size bytes"
  size=$(($(wc -c <out)))
  [ "$size" -lt 2048 ] || flunk "out has $size bytes"
  # The first line may be the end of a line cut by the rotation.
  gaps=$(cat out~ out | awk 'NR == 2 { last = $1 - 1 }
    NR > 1 && $1 != last + 1 { print last "->" $1 }
    NR > 1 { last = $1 }
    END { if (last != 6000) print "ends at " last }')
  expect "gaps in the numbered lines" "$gaps" ""
}

# The writer: named sentrel-writer, holding its pipe and its file only (checked again with the
# fallback that lists /proc/self/fd instead of close_range()).
check_writer() {
  exec 9>inherited
  $1 $S -p pid -R out~8 sh -c 'echo hi; exec sleep 30' &
  sup=$!
  exec 9>&-
  track $sup
  wait_for 10 locked_pid pid || flunk "no locked PID file"
  program=$(cat pid)
  track "$program"
  wait_for 10 file_is out hi || flunk "no output in out"
  writer=$(children_of $sup | grep -vx "$program")
  track "$writer"
  expect "writer's name" "$(cat /proc/"$writer"/comm 2>&1)" sentrel-writer
  expect "supervisor's name" "$(cat /proc/$sup/comm)" sentrel
  set -- $(high_descriptors "$writer")
  expect "writer's descriptors" "$# $1" "2 $dir/out"
  case ${2-} in
    pipe:*) ;;
    *) flunk "writer's second descriptor: ${2-}" ;;
  esac
  kill -KILL "$program"
  finish $sup
  expect "sentrel's status" "$rc" 0
}

# --daemon: 0 once PROGRAM runs, in a new session, umask 0, descriptors 0-2 on /dev/null and
# the inherited ones closed; a failed start gives the status and message of one without it.
check_daemon() {
  started=$(now)
  $1 $S --daemon -p pid -l log sh -c 'exec sleep 30' 9>inherited9 700>inherited700 >out 2>err
  expect "invoker's status" $? 0
  elapsed=$(($(now) - started))
  [ "$elapsed" -lt 1000 ] || flunk "the invoker took $elapsed/100 s"
  expect "invoker's output" "$(cat out err)" ""
  wait_for 10 locked_pid pid || flunk "no locked PID file"
  program=$(cat pid)
  track "$program"
  sup=$(stat_field 4 "$program")
  track "$sup"
  wait_for 10 file_is /proc/"$program"/comm sleep
  expect "supervisor's session" "$(stat_field 6 "$sup")" "$sup"
  expect "supervisor's umask" "$(awk '/^Umask:/ { print $2 }' /proc/"$sup"/status)" 0000
  for fd in 0 1 2; do
    expect "PROGRAM's descriptor $fd" "$(readlink /proc/"$program"/fd/$fd)" /dev/null
  done
  expect "PROGRAM's other descriptors" "$(high_descriptors "$program")" "$dir/pid"
  expect "supervisor's other descriptors" "$(high_descriptors "$sup")" "$dir/log"
  $1 $S --daemon -p pid sleep 30 2>err
  expect "status of a refused start" $? 2
  expect "message of a refused start" "$(cat err)" "$ALREADY_LOCKED"
  $1 $S --daemon -p other.pid /no/such/program 2>err
  expect "status of a failed exec" $? 2
  expect "message of a failed exec" "$(cat err)" "$S: /no/such/program: No such file or directory"
  mkdir -m 700 private
  $1 $S --daemon -u nobody -p private/pid sleep 30 2>err
  expect "status of a start not permitted" $? 3
  expect "message of a start not permitted" "$(cat err)" \
    "$S: open(): failed to open or create PID file: \`private/pid': Permission denied"
  $1 $S --daemon -p other.pid 2>err
  expect "status without PROGRAM" $? 1
  expect "message without PROGRAM" "$(head -c 7 err)" "Usage: "
  kill -KILL "$program"
  wait_for 10 has_ended "$sup" || flunk "the supervisor outlived PROGRAM"
}

# A PROGRAM whose background child keeps the PID-file lock, then crashes: the leftover child
# is stopped with SIGTERM and the next PROGRAM gets the lock.
check_leftover_child() {
  $S -p pid -l log sh -c 'if [ -e ran ]; then echo $$ > second; exec sleep 30; fi
    : > ran; sleep 300 & echo $! > leftover; kill -SEGV $$' 2>err &
  sup=$!
  track $sup
  wait_for 10 test -s leftover || flunk "no leftover child"
  leftover=$(cat leftover)
  track "$leftover"
  wait_for 10 eval 'test -s second || has_ended $sup'
  if [ ! -s second ]; then
    finish $sup
    flunk "sentrel ended with $rc instead of relaunching: $(cat err)"
    return
  fi
  second=$(cat second)
  track "$second"
  wait_for 10 locked_pid pid || flunk "no locked PID file"
  expect "PID file" "$(cat pid)" "$second"
  wait_for 10 has_ended "$leftover" || flunk "the leftover child still runs"
  grep -qx "$STAMP""The leftover process was stopped: pid=$leftover, signal=15" log ||
    flunk "no leftover line in the log: $(log_events log | tr '\n' '|')"
}

# SIGTERM to the supervisor stops the supervision: the signal goes on to PROGRAM, nothing is
# relaunched, and the supervisor ends with 0 after PROGRAM's death by it, or with the status of
# a PROGRAM that traps it (the row's argument, 0 or 7).
check_stop_by_signal() {
  if [ "$1" = 7 ]; then
    supervise $S -p pid -l log \
      sh -c 'trap "exit 7" TERM; : > trapped; while :; do sleep 0.1; done'
    wait_for 10 test -e trapped || flunk "PROGRAM never set its trap"
    end="The process was successfully terminated: pid=$program, exit_code=7"
  else
    supervise $S -p pid -l log sh -c 'exec sleep 30'
    end="The process was terminated by signal: pid=$program, signal=15"
  fi
  kill -TERM $sup
  finish $sup
  expect "sentrel's status" "$rc" "$1"
  has_ended "$program" || flunk "PROGRAM outlived the supervisor"
  grep -qx "$STAMP""The supervision was stopped by signal: signal=15" log &&
    grep -qx "$STAMP$end" log || flunk "no stop or no end in the log: $(log_events log)"
  expect "starts in the log" "$(grep -c "^$STAMP""The process was successfully started" log)" 1
}

# PROGRAM leads a session of its own; what it leaves in its group when SIGKILL ends it is
# stopped with SIGTERM and collected before the supervisor exits.
check_leftover_in_group() {
  supervise $S -p pid -l log sh -c 'sleep 1000 & echo $! > bg; exec sleep 1000'
  wait_for 10 test -s bg || flunk "no background child"
  leftover=$(cat bg)
  track "$leftover"
  expect "PROGRAM's session" "$(stat_field 6 "$program")" "$program"
  expect "the background child's group" "$(stat_field 5 "$leftover")" "$program"
  kill -KILL "$program"
  finish $sup
  expect "sentrel's status" "$rc" 0
  expect "the background child after the supervisor's end" "$(state_of "$leftover")" gone
  grep -qx "$STAMP""The leftover process was stopped: pid=$leftover, signal=15" log ||
    flunk "no leftover line in the log: $(log_events log)"
}

# A link that nobody planted in a directory of its own is not written through by root.
check_planted_link() {
  mkdir -m 755 logs
  chown nobody logs
  printf 'KEEP\n' >target
  su nobody -s /bin/sh -c "ln -s $dir/target $dir/logs/app.log"
  expect "the link's owner" "$(stat -c %U logs/app.log)" nobody
  $S -l logs/app.log sh -c 'exit 0' 2>err
  expect "sentrel's status" $? 0
  expect "sentrel's message" "$(cat err)" ""
  expect "the link's target" "$(cat target)" KEEP
}

run_check "relaunch after a real SIGSEGV, handler arguments, event log" check_relaunch_after_fault
run_check "exit statuses passed on" check_exit_statuses
run_check "PID file, flock in /proc/locks, --test-alive, second instance refused" \
  check_pid_file_and_lock
run_check "--stop 0 after SIGTERM" check_stop_after_term
run_check "--stop 1 after SIGKILL" check_stop_after_kill
run_check "--stop 2 for a file naming no holder" check_stop_untrusted_file
run_check "--stop 3 as nobody" check_stop_not_permitted
run_check "-u nobody with its supplementary groups" check_account_switch
run_check "-R NAME~N rotation keeps every numbered line" check_rotation
run_check "writer's name and descriptors" check_writer
run_check "writer's descriptors without close_range" check_writer $LAUNCHER
run_check "--daemon statuses and descriptors" check_daemon
run_check "--daemon descriptors without close_range" check_daemon $LAUNCHER
run_check "leftover child holding the lock stopped, then relaunch" check_leftover_child
run_check "planted link not written through" check_planted_link
run_check "SIGTERM stops the supervision: 0 after PROGRAM's death by it" check_stop_by_signal 0
run_check "SIGTERM stops the supervision: PROGRAM's own status 7" check_stop_by_signal 7
run_check "PROGRAM's own session; its group's leftover stopped" check_leftover_in_group
echo "$guest: $passed passed, $failed failed"
