#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Finding and reporting units: the real binary against simulated units.
# Usage: find_test.sh UNITFIND SIM_UNIT FAULT_INJECT [CASE-PATTERN...]
source "$(dirname "$0")/lib.sh"

LAN_NETWORKS="This host's IPv4 networks, and the option that probes each:
  br0: 10.77.0.1/24, probed with -b10.77.0.255"
CAUSES="No unit answered there. Perhaps:
  the unit is off, or on another network;
  a firewall drops incoming UDP datagrams to port 8300;"

# opening SERIAL SECONDS [ADDRESS]: the first lines of a run with -tN,
# -bADDRESS (10.77.0.255 unless given) and, unless SERIAL is "", -sSERIAL;
# SECONDS is N as the run says it ("1 second", "5 seconds").
opening() {
  echo "$BANNER"
  [ -z "$1" ] || echo "Searching for serial number $1"
  echo "Setting timeout to be $2.
Broadcasting to: ${3:-10.77.0.255}"
}

basic::answers_at_once() { # a unit answers at once
  unit lan 1 -l "$WORK/probe" 'send:id=30100123\nname=Kitchen'
  tool lan -b10.77.0.255 -t30
  expect_run 0 "" "$(opening "" "30 seconds")
Found an empeg with serial 30100123 called \"Kitchen\" at 10.77.0.11"
  expect_lt "milliseconds to accept, against a 30 s wait" "$ELAPSED_MS" 15000
  expect_eq "probe as the unit saw it" "3f00 from 10.77.0.1:8300" "$(cat "$WORK/probe")"
}

basic::nobody_answers() { # nobody answers
  tool lan -b10.77.0.255 -t1
  expect_run 0 "$GIVE_UP" "$(opening "" "1 second")
$LAN_NETWORKS
10.77.0.255 is on the network of br0.
$CAUSES
  the unit takes longer than 1 second to answer: try -t10."
  expect_lt "milliseconds waited at least" 900 "$ELAPSED_MS"
  expect_lt "milliseconds before giving up, against the default 5 s" "$ELAPSED_MS" 4500
  # Into one file, the advice follows the line it explains.
  in_ns "$ID-lan" "$UNITFIND" -b10.77.0.255 -t1 >"$WORK/both" 2>&1
  expect_eq "the line before the advice" "$GIVE_UP" "$(sed -n 4p "$WORK/both")"
}

basic::negative_timeout() { # a negative timeout gives up at once
  tool lan -b10.77.0.255 -t-1
  expect_run 0 "$GIVE_UP" "$(opening "" "-1 seconds")
$LAN_NETWORKS
10.77.0.255 is on the network of br0.
-t-1 gave the unit no time to answer: try -t10."
  expect_lt "milliseconds, against the default 5 s" "$ELAPSED_MS" 4500
}

replies::serial_passes_over_others() { # -s passes over other units
  unit lan 1 'send:id=111 name=first'
  unit lan 2 'sleep:200' 'send:id=222 name=second'
  tool lan -b10.77.0.255 -s222 -t30
  expect_run 0 "" "$(opening 222 "30 seconds")
Found an empeg with serial 111 called \"first\" at 10.77.0.11
Found an empeg with serial 222 called \"second\" at 10.77.0.12"
  expect_lt "milliseconds to accept the second, against a 30 s wait" "$ELAPSED_MS" 15000
}

replies::first_reply_accepted() { # without -s the first reply is accepted, serial 0 included
  unit lan 1 'send:id=zero name=first'
  unit lan 2 'sleep:200' 'send:id=222 name=second'
  tool lan -b10.77.0.255 -t3
  expect_run 0 "" "$(opening "" "3 seconds")
Found an empeg with serial 0 called \"first\" at 10.77.0.11"
}

replies::not_replies() { # datagrams that are not replies are passed over
  unit lan 1 'send:hello' 'send:id=5' 'send:name=x' 'send:' 'send:id=7\0name=z' \
    'send:?\0' 'send:id=9 hostname=a name=b'
  tool lan -b10.77.0.255 -t3
  expect_run 0 "" "$(opening "" "3 seconds")
Found an empeg with serial 9 called \"a name=b\" at 10.77.0.11"
}

# A busy machine can hold a unit back by more than the 0.3 s that 0.7 s
# apart leaves against -t1, so the units keep 0.7 s apart against -t2. The
# last answers after the first wait would have ended, and the run then waits
# a whole -t more. Units behind one address are told apart by serial.
replies::fresh_wait_per_unit() { # each new unit starts a fresh wait
  unit lan 1 'sleep:700' 'send:id=1 name=one' 'sleep:1400' 'send:id=3 name=three'
  unit lan 2 'sleep:1400' 'send:id=2 name=two'
  tool lan -b10.77.0.255 -s-1 -t2
  expect_run 0 "$GIVE_UP" "$(opening -1 "2 seconds")
Found an empeg with serial 1 called \"one\" at 10.77.0.11
Found an empeg with serial 2 called \"two\" at 10.77.0.12
Found an empeg with serial 3 called \"three\" at 10.77.0.11"
  expect_lt "milliseconds waited at least" 3900 "$ELAPSED_MS"
}

# Both keep sending for 20 s, about every 0.3 s; one sender of replies
# bounds the run at 2 s.
replies::junk_and_repeats() { # junk and repeated replies do not keep a run waiting
  unit lan 1 'pace:3' 'flood:60:id=5 name=again'
  unit lan 2 'pace:3' 'flood:60:junk'
  tool lan -b10.77.0.255 -s6 -t1
  found='Found an empeg with serial 5 called "again" at 10.77.0.11'
  expect_eq "exit status" 0 "$STATUS"
  expect_eq "standard output" "$GIVE_UP" "$OUT"
  expect_eq "first lines" "$(opening 6 "1 second")
$found" "$(head -n 5 "$WORK/err")"
  expect_eq "other lines, the repeats of the reply included" "" "$(sed 1,5d "$WORK/err")"
  expect_lt "milliseconds waited at least" 900 "$ELAPSED_MS"
  expect_lt "milliseconds, against 20 s of datagrams" "$ELAPSED_MS" 10000
}

# One sender answers for 40 units, told apart by serial: a listing run
# says that it listed only 32, and a unit wanted after them is still taken.
replies::more_than_32_units() { # more units than a run lists
  local serials=() found="" i
  for i in $(seq 40); do serials+=("send:id=$i name=u$i"); done
  for i in $(seq 32); do found+=$'\n'"Found an empeg with serial $i called \"u$i\" at 10.77.0.11"; done
  for wanted in -1 40; do
    begin "-s$wanted"
    unit lan 1 "${serials[@]}"
    tool lan -b10.77.0.255 -s$wanted -t2
    expect_eq "the last lines" "Broadcasting to: 10.77.0.255$found
$([ $wanted = 40 ] && echo 'Found an empeg with serial 40 called "u40" at 10.77.0.11' ||
      echo "More units answered than the 32 listed.")" "$(sed 1,3d "$WORK/err")"
  done
}

# Any local user can send from a loopback address or this host's own one.
replies::from_this_host() { # replies sent from this host are not believed
  for source in 127.5.5.5 10.77.0.1; do
    nsenter --net="$NETNS/$ID-lan" -- "$SIM_UNIT" -a $source -d $source 'pace:10' 'flood:50:id=222 name=forged' &
    UNIT_PIDS+=($!)
  done
  unit lan 1 'sleep:1500' 'send:id=222 name=real'
  tool lan -b10.77.0.255 -s222 -t5
  expect_run 0 "" "$(opening 222 "5 seconds")
Found an empeg with serial 222 called \"real\" at 10.77.0.11"

  # An address this host gains while the run waits is its own at once, even
  # for a broadcast from it, which does not come in over loopback, and
  # although the first reply had the interfaces read just before.
  begin "an address gained during the wait"
  unit lan 2 'send:id=1 name=early'
  (sleep 0.5 && in_ns "$ID-lan" ip addr add 10.77.0.99/24 dev br0 &&
    in_ns "$ID-lan" "$SIM_UNIT" -a 10.77.0.99 -d 10.77.0.255 'pace:20' 'flood:10:id=222 name=gained') &
  UNIT_PIDS+=($!)
  unit lan 1 'sleep:2000' 'send:id=222 name=real'
  tool lan -b10.77.0.255 -s222 -t5
  in_ns "$ID-lan" ip addr del 10.77.0.99/24 dev br0
  expect_run 0 "" "$(opening 222 "5 seconds")
Found an empeg with serial 1 called \"early\" at 10.77.0.12
Found an empeg with serial 222 called \"real\" at 10.77.0.11"
}

# Interfaces that cannot be read are reported once, and units still found.
# Every read of the interfaces fails; the second reply comes after the list
# would have been read again.
networks::interfaces_unreadable() {
  unit lan 1 'send:id=1 name=one' 'sleep:1500' 'send:id=2 name=two'
  if faulty getifaddrs:1:24,getifaddrs:2:24,getifaddrs:3:24 tool lan -b10.77.0.255 -s2 -t5; then
    expect_run 0 "" "$(opening 2 "5 seconds")
getifaddrs: Too many open files
Found an empeg with serial 1 called \"one\" at 10.77.0.11
Found an empeg with serial 2 called \"two\" at 10.77.0.11"
  fi
}

replies::names_escaped() { # names are shown and recorded escaped
  : >"$WORK/hosts"
  unit lan 1 'send:id=4 name=evil\nFound an empeg\x1b[2J\t\x7f\xc3\xa9 K\xc3\xbcche \xe6\x97\xa5\xe6\x9c\xac|\xc2\x9b|\x9b|\xe2\x80\xae|\xe2\x80\xa8|\\n|\xc0\xaf|\xed\xa0\x80|\xe2\x82|" at 6.6.6.6'
  tool lan -b10.77.0.255 -t3 -h"$WORK/hosts" -nplayer.lan
  shown='evil\nFound an empeg\x1b[2J\t\x7fé Küche 日本|\xc2\x9b|\x9b|\xe2\x80\xae|\xe2\x80\xa8|\\n|\xc0\xaf|\xed\xa0\x80|\xe2\x82|\" at 6.6.6.6'
  expect_run 0 "" "$BANNER
Setting timeout to be 3 seconds.
Host file: $WORK/hosts
Name to be give to empeg: player.lan
Broadcasting to: 10.77.0.255
Found an empeg with serial 4 called \"$shown\" at 10.77.0.11
Appending entry for player.lan to $WORK/hosts"
  expect_eq "hosts entry" "10.77.0.11 player.lan # Empeg: Serial=4 Name=$shown [EMPEG-4-EMPEG]" \
    "$(tail -n 1 "$WORK/hosts")"
}

basic::bad_host_names() { # host names that would break the hosts file
  for name in $'player\n10.6.6.6' $'a\x01' $'a\x7f' "$(printf 'a%.0s' {1..254})"; do
    tool lan -b10.77.0.255 -h"$WORK/hosts" "-n$name"
    expect_run 1 "" "$BANNER
Host file: $WORK/hosts
Invalid empeg name."
  done
}

networks::port_taken() { # the listening port is taken
  nsenter --net="$NETNS/$ID-lan" -- "$SIM_UNIT" -k -w 5 -r "$WORK/held" &
  UNIT_PIDS+=($!)
  for _ in $(seq 100); do [ -e "$WORK/held" ] && break; sleep 0.05; done
  tool lan -b10.77.0.255 -t1
  expect_run 1 "" "$(opening "" "1 second")
bind: $E_ADDRINUSE
Unable to open listen socket."
}

# Without a route, the resolver cannot reach a server either. Its reasons
# are glibc's and musl's.
networks::host_unresolved() { # a broadcast host that does not resolve
  ip netns add "$ID-bare"
  in_ns "$ID-bare" ip link set lo up
  tool bare -bno-such-unit.invalid -t1
  expect_eq "exit status" 1 "$STATUS"
  expect_eq "lines but the reason" "$(opening "" "1 second" no-such-unit.invalid)
gethostbyname: 
Unable to send broadcast.
This host has no IPv4 network that is up and can broadcast." "$(sed '4s/: .*/: /' "$WORK/err")"
  reason=$(sed -n '4s/^gethostbyname: //p' "$WORK/err")
  case $reason in
    "Unknown host" | "Host name lookup failure" | "Unknown server error" | \
    "No address associated with name" | "Host not found" | "Try again" | \
    "Non-recoverable error" | "Address not available") pass ;;
    *) fail "not a resolver's reason: $reason" ;;
  esac
  ip netns del "$ID-bare"
}

networks::address_unreachable() { # a broadcast address that cannot be reached
  tool lan -b10.99.0.255 -t1
  expect_run 1 "" "$(opening "" "1 second" 10.99.0.255)
sendto: $E_NETUNREACH
Unable to send broadcast.
$LAN_NETWORKS
10.99.0.255 is not the broadcast address of any network here: probe one of these networks with its -b option."
}

basic::only_one_of_h_and_n() { # only one of -h and -n
  tool lan -hhosts
  expect_run 1 "" "$BANNER
Host file: hosts
Must have both a hosts filename and an empeg name!"
}

basic::rejected_option() { # a rejected option ends the run before the search
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
}

# cable NET IFACE ADDRESS UNIT_ADDRESS [UNIT_HOST]: a veth cable from NET's
# tool host to a unit host of its own, NET-u1 unless named, as point-to-point
# links and direct cables are cabled.
cable() {
  local unit="$ID-${5:-$1-u1}"
  ip netns add "$unit"
  in_ns "$ID-$1" ip link add "$2" type veth peer name eth0 netns "$unit"
  # shellcheck disable=SC2086 # an address with its peer or brd is three words
  in_ns "$ID-$1" ip addr add $3 dev "$2"
  in_ns "$ID-$1" ip link set "$2" up
  # shellcheck disable=SC2086
  in_ns "$unit" ip addr add $4 dev eth0
  in_ns "$unit" ip link set eth0 up
}

# A unit on a second network, such as a direct cable with link-local
# addresses, and no default route: the limited broadcast goes out of every
# network, and a silent run lists them all. The net is this case's own, as
# no other case expects the second network.
networks::every_network() { # -b255.255.255.255 probes every network
  net_up wide 1
  cable wide ll0 "169.254.10.1/16 brd +" "169.254.20.2/16 brd +" wide-cable
  nsenter --net="$NETNS/$ID-wide-cable" -- "$SIM_UNIT" -w 15 'send:id=77 name=cable' &
  UNIT_PIDS+=($!)
  unit wide 1 'sleep:300' 'send:id=11 name=lan'
  tool wide -b255.255.255.255 -s77 -t5
  expect_run 0 "" "$(opening 77 "5 seconds" 255.255.255.255)
Found an empeg with serial 77 called \"cable\" at 169.254.20.2"
  stop_units
  tool wide -b255.255.255.255 -t1
  expect_eq "advice" "$LAN_NETWORKS
  ll0: 169.254.10.1/16, probed with -b169.254.255.255
  -b255.255.255.255 probes all of them at once.
The probe went to every one of these networks." "$(sed -n '4,8p' "$WORK/err")"
  net_down wide
}

# The default broadcast address, on a private net numbered to match it.
basic::no_options() { # no options: the default address, five seconds, give up
  net_up home 1 192.168.1.1/24
  unit home 1 -l "$WORK/home-probe"
  tool home
  expect_run 0 "$GIVE_UP" "$BANNER
Broadcasting to: 192.168.1.255
This host's IPv4 networks, and the option that probes each:
  br0: 192.168.1.1/24, probed with -b192.168.1.255
192.168.1.255 is on the network of br0.
$CAUSES
  the unit takes longer than 5 seconds to answer: try -t10."
  expect_lt "milliseconds waited at least" 4900 "$ELAPSED_MS"
  expect_lt "milliseconds before giving up, against twice the default" "$ELAPSED_MS" 9500
  expect_eq "probe as the unit saw it" "3f00 from 192.168.1.1:8300" "$(cat "$WORK/home-probe")"
}

# probe_finds NET ADDR FOUND: a run on NET probing ADDR accepts the unit that
# the line FOUND names, and says nothing more.
probe_finds() {
  tool "$1" -b"$2" -t5
  expect_run 0 "" "$(opening "" "5 seconds" "$2")
$3"
}

# The way most people add an address, without brd: the C library then gives
# the address itself as its broadcast address. The unit is found, and the
# replies of a host whose address is the network's broadcast address are
# not believed.
networks::address_without_brd() { # an address added without brd
  net_up plain 2 10.78.0.1/24 ""
  in_ns "$ID-plain-u2" ip addr flush dev eth0
  in_ns "$ID-plain-u2" ip addr add 10.78.0.255/32 dev eth0
  in_ns "$ID-plain-u2" ip route add 10.78.0.0/24 dev eth0
  unit plain 2 'flood:20:id=78 name=forged'
  unit plain 1 'sleep:300' 'send:id=78 name=plain'
  probe_finds plain 255.255.255.255 "Found an empeg with serial 78 called \"plain\" at 10.78.0.11"
  net_down plain
}

# Two direct cables with link-local addresses: both networks have the
# broadcast address 169.254.255.255, which the routes send out of the first
# cable alone. The unit is on the second.
networks::shared_link_local() { # two cables sharing 169.254.255.255
  ip netns add "$ID-two"
  for n in 0 1; do cable two ll$n "169.254.1$n.1/16 brd +" "169.254.2$n.2/16 brd +" two-u$n; done
  unit two 1 'send:id=71 name=second cable'
  probe_finds two 255.255.255.255 "Found an empeg with serial 71 called \"second cable\" at 169.254.21.2"
  net_down two
}

# The limited broadcast reaches every host on the cable, whatever its mask;
# this host's broadcast address is an ordinary one to a wider network.
networks::unit_with_wider_mask() { # a unit with a /16 on a /24 cable
  net_up mask 1 10.79.0.1/24
  in_ns "$ID-mask-u1" ip addr flush dev eth0
  in_ns "$ID-mask-u1" ip addr add 10.79.5.5/16 brd + dev eth0
  unit mask 1 'send:id=79 name=wide mask'
  probe_finds mask 255.255.255.255 "Found an empeg with serial 79 called \"wide mask\" at 10.79.5.5"
  net_down mask
}

# A /31 has no broadcast address: only the limited broadcast reaches the
# unit at the other end. Beside a LAN, and then alone without a default
# route.
networks::slash31_cable() { # a unit across a /31 cable
  net_up p31 0 10.86.0.1/24
  cable p31 c0 10.20.0.0/31 10.20.0.1/31
  unit p31 1 'send:id=31 name=cable'
  probe_finds p31 255.255.255.255 "Found an empeg with serial 31 called \"cable\" at 10.20.0.1"
  stop_units
  in_ns "$ID-p31" ip link del br0
  tool p31 -b255.255.255.255 -t1
  expect_eq "advice" "This host's IPv4 networks, and the option that probes each:
  c0: 10.20.0.0/31, probed with -b255.255.255.255
The probe went to every one of these networks." "$(sed -n '4,6p' "$WORK/err")"
  net_down p31
}

# The peer of an address is a host, while the broadcast and network
# addresses of its network, and a brd that is not all ones, are no unit's.
networks::peer_and_odd_brd() { # forged senders beside a peer address and brd 10.4.0.127
  ip netns add "$ID-odd"
  # The unit host has no network of its own, so that nothing is its broadcast.
  cable odd c0 "10.9.0.1 peer 10.9.0.2/24" "10.9.0.2 peer 10.9.0.1"
  in_ns "$ID-odd" ip addr add 10.4.0.1/24 brd 10.4.0.127 dev c0
  in_ns "$ID-odd-u1" ip route add 10.4.0.0/24 dev eth0 src 10.9.0.2
  for forged in 10.9.0.255 10.9.0.0 10.4.0.127; do
    in_ns "$ID-odd-u1" ip addr add $forged/32 dev eth0
    nsenter --net="$NETNS/$ID-odd-u1" -- "$SIM_UNIT" -a $forged -d 10.9.0.1 'pace:20' 'flood:20:id=9 name=forged' 2>>"$WORK/forgers" &
    UNIT_PIDS+=($!)
  done
  unit odd 1 'sleep:300' 'send:id=9 name=peer'
  probe_finds odd 255.255.255.255 "Found an empeg with serial 9 called \"peer\" at 10.9.0.2"
  stop_units
  expect_eq "what the forgers met" "" "$(cat "$WORK/forgers")"
  net_down odd
}

# A unit answers the first probe it hears, and only from its own network
# can it reach this host: the README's link-local address beside a LAN
# address, then a /31 beside it, which hears no broadcast of its own.
networks::second_network_first_probe() { # a unit that answers only its first probe, on a second network
  for second in "169.254.1.1/16 brd + 169.254.77.7/16" "10.85.0.0/31 10.85.0.1/31"; do
    begin "$second"
    net_up sec 1 192.168.1.10/24
    set -- $second
    in_ns "$ID-sec" ip addr add "${@:1:$#-1}" dev br0
    in_ns "$ID-sec-u1" ip addr flush dev eth0
    in_ns "$ID-sec-u1" ip addr add "${!#}" dev eth0
    unit sec 1 'send:id=85 name=second'
    probe_finds sec 255.255.255.255 "Found an empeg with serial 85 called \"second\" at ${!#%/*}"
    net_down sec
  done
}

# Each unit is reported once, however often it repeats its reply, and a
# unit that answers among the repeats is still heard.
networks::repeating_sender() { # a sender repeating its reply 3,000 times
  unit lan 1 'flood:3000:id=5 name=again'
  unit lan 2 'sleep:500' 'send:id=6 name=other'
  tool lan -b10.77.0.255 -s-1 -t2
  expect_run 0 "$GIVE_UP" "$(opening -1 "2 seconds")
Found an empeg with serial 5 called \"again\" at 10.77.0.11
Found an empeg with serial 6 called \"other\" at 10.77.0.12"
}

# Started by a process that holds many descriptors, the socket's number is
# past what select can watch. The unit answers after the first wait began.
networks::many_descriptors() { # a run started with 1,100 descriptors open
  unit lan 1 'sleep:500' 'send:id=8 name=late'
  ulimit -n 2048 2>/dev/null || { echo "SKIP [$CASE]: cannot allow 2048 descriptors"; return; }
  for _ in $(seq 1100); do exec {fd}</dev/null; done
  expect_lt "descriptors a child inherits, at least" 1100 "$(in_ns "$ID-lan" ls /proc/self/fd | wc -l)"
  probe_finds lan 10.77.0.255 "Found an empeg with serial 8 called \"late\" at 10.77.0.11"
}

run_cases lan 3

