#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Finding and reporting units: the real binary against simulated units.
# Usage: find_test.sh UNITFIND SIM_UNIT
source "$(dirname "$0")/lib.sh"
need_namespaces

net_up lan 2

begin "a unit answers at once"
unit lan 1 -l "$WORK/probe" 'send:id=30100123\nname=Kitchen'
tool lan -b10.77.0.255 -t30
expect_run 0 "" "$BANNER
Setting timeout to be 30 seconds.
Broadcasting to: 10.77.0.255
Found an empeg with serial 30100123 called \"Kitchen\" at 10.77.0.11"
expect_lt "milliseconds to accept, against a 30 s wait" "$ELAPSED_MS" 15000
expect_eq "probe as the unit saw it" "3f00 from 10.77.0.1:8300" "$(cat "$WORK/probe")"

begin "nobody answers"
tool lan -b10.77.0.255 -t1
expect_run 0 "$GIVE_UP" "$BANNER
Setting timeout to be 1 second.
Broadcasting to: 10.77.0.255"
expect_lt "milliseconds waited at least" 900 "$ELAPSED_MS"
expect_lt "milliseconds before giving up, against the default 5 s" "$ELAPSED_MS" 4500

begin "a negative timeout gives up at once"
tool lan -b10.77.0.255 -t-1
expect_run 0 "$GIVE_UP" "$BANNER
Setting timeout to be -1 seconds.
Broadcasting to: 10.77.0.255"
expect_lt "milliseconds, against the default 5 s" "$ELAPSED_MS" 4500

begin "-s passes over other units"
unit lan 1 'send:id=111 name=first'
unit lan 2 'sleep:200' 'send:id=222 name=second'
tool lan -b10.77.0.255 -s222 -t30
expect_run 0 "" "$BANNER
Searching for serial number 222
Setting timeout to be 30 seconds.
Broadcasting to: 10.77.0.255
Found an empeg with serial 111 called \"first\" at 10.77.0.11
Found an empeg with serial 222 called \"second\" at 10.77.0.12"
expect_lt "milliseconds to accept the second, against a 30 s wait" "$ELAPSED_MS" 15000

begin "without -s the first reply is accepted, serial 0 included"
unit lan 1 'send:id=zero name=first'
unit lan 2 'sleep:200' 'send:id=222 name=second'
tool lan -b10.77.0.255 -t3
expect_run 0 "" "$BANNER
Setting timeout to be 3 seconds.
Broadcasting to: 10.77.0.255
Found an empeg with serial 0 called \"first\" at 10.77.0.11"

begin "datagrams that are not replies are passed over"
unit lan 1 'send:hello' 'send:id=5' 'send:name=x' 'send:' 'send:id=7\0name=z' \
  'send:?\0' 'send:id=9 hostname=a name=b'
tool lan -b10.77.0.255 -t3
expect_run 0 "" "$BANNER
Setting timeout to be 3 seconds.
Broadcasting to: 10.77.0.255
Found an empeg with serial 9 called \"a name=b\" at 10.77.0.11"

begin "each datagram starts a fresh wait"
unit lan 1 'sleep:600' 'send:junk' 'sleep:600' 'send:junk' 'sleep:600' 'send:id=3 name=late'
tool lan -b10.77.0.255 -t1
expect_run 0 "" "$BANNER
Setting timeout to be 1 second.
Broadcasting to: 10.77.0.255
Found an empeg with serial 3 called \"late\" at 10.77.0.11"

begin "control characters in a name are shown escaped"
unit lan 1 'send:id=4 name=evil\nFound an empeg\x1b[2J\t\x7f\xc3\xa9'
tool lan -b10.77.0.255 -t3
expect_run 0 "" "$BANNER
Setting timeout to be 3 seconds.
Broadcasting to: 10.77.0.255
Found an empeg with serial 4 called \"evil\\nFound an empeg\\x1b[2J\\t\\x7fé\" at 10.77.0.11"

begin "the listening port is taken"
nsenter --net="$NETNS/$ID-lan" -- "$SIM_UNIT" -k -w 5 -r "$WORK/held" &
UNIT_PIDS+=($!)
for _ in $(seq 100); do [ -e "$WORK/held" ] && break; sleep 0.05; done
tool lan -b10.77.0.255 -t1
expect_run 1 "" "$BANNER
Setting timeout to be 1 second.
Broadcasting to: 10.77.0.255
bind: $E_ADDRINUSE
Unable to open listen socket."

begin "a broadcast host that cannot be looked up"
tool lan -bno-such-unit.invalid -t1
expect_eq "exit status" 1 "$STATUS"
expect_eq "lookup reported" "gethostbyname: " "$(sed -n 4p "$WORK/err" | cut -c1-15)"
expect_eq "last line" "Unable to send broadcast." "$(tail -n 1 "$WORK/err")"
expect_eq "line count" 5 "$(wc -l <"$WORK/err")"

begin "a broadcast address that cannot be reached"
tool lan -b10.99.0.255 -t1
expect_run 1 "" "$BANNER
Setting timeout to be 1 second.
Broadcasting to: 10.99.0.255
sendto: $E_NETUNREACH
Unable to send broadcast."

begin "only one of -h and -n"
tool lan -hhosts
expect_run 1 "" "$BANNER
Host file: hosts
Must have both a hosts filename and an empeg name!"

begin "a rejected option ends the run before the search"
tool lan -t2 -x -b10.77.0.255
expect_run 1 "" "$BANNER
Setting timeout to be 2 seconds.
Unknown option: -x

Usage: $UNITFIND <options>

-b<addr>   - Set broadcast address e.g. 192.168.1.255
-s<serial> - Set serial number to look for e.g. 12345678
-n<name>   - Name to give empeg in hosts file e.g. player.example.com
-h<file>   - Hosts file to edit
-t<number> - Number of seconds before timing out"

net_down lan

# The default broadcast address, on a private net numbered to match it.
begin "no options: the default address, five seconds, give up"
net_up home 1 192.168.1.1/24
unit home 1 -l "$WORK/home-probe"
tool home
expect_run 0 "$GIVE_UP" "$BANNER
Broadcasting to: 192.168.1.255"
expect_lt "milliseconds waited at least" 4900 "$ELAPSED_MS"
expect_lt "milliseconds before giving up, against twice the default" "$ELAPSED_MS" 9500
expect_eq "probe as the unit saw it" "3f00 from 192.168.1.1:8300" "$(cat "$WORK/home-probe")"

finish
