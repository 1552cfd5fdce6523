#!/bin/sh
# Checks a description against a recording of its device, as the project checks the shipped ones:
# the recording plays in a lab of its own, krzpap reads it through the description module with
# this description alone, and
#   - `show` must print exactly EXPECTED (when given; else it is printed),
#   - a change of the network name must be confirmed and read back.
# The recording's own user name and password (or their placeholders) log in.
#
#   check-description.sh DESCRIPTION RECORDING [EXPECTED]
#
# KRZPAP names the krzpap program (default: the one installed beside this script, else krzpap on
# the PATH). Exit status 0 when every step passed.
set -eu

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 DESCRIPTION RECORDING [EXPECTED]" >&2
  exit 2
fi
description=$1
recording=$2
expected=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
krzpap=${KRZPAP:-$here/../../bin/krzpap}
[ -x "$krzpap" ] || krzpap=krzpap

work=$(mktemp -d)
lab=
cleanup() {
  [ -z "$lab" ] || kill "$lab" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A value of the recording's header ("address", and the login's "user" and "password").
header() {
  tr ',{}' '\n\n\n' <"$recording" | sed -n "s/^ *\"$1\" *: *\"\\([^\"]*\\)\" *\$/\\1/p" | head -n 1
}
address=$(header address)
user=$(header user)
password=$(header password)
[ -n "$address" ] || { echo "$recording: no address in the recording" >&2; exit 2; }
# A device recorded at http://ADDRESS[:PORT] was recorded at ADDRESS; one recorded on this computer
# (loopback, no MAC) plays at a lab address of its own, never at loopback.
address=${address#http://}
address=${address%%[:/]*}
placed=
case $address in
  127.*) address=192.168.77.10
         placed='"address": "192.168.77.10", "mac": "02:4B:5A:00:00:10", ' ;;
esac

mkdir "$work/descriptions"
cp "$description" "$work/descriptions/"
checked="$work/descriptions/$(basename "$description")"
case $recording in /*) played=$recording ;; *) played=$PWD/$recording ;; esac
# An answer a browser's HAR lost plays as the description expects it (its captures and expected
# members), with the tokens the later requests carried: the rest of the description is checked.
if grep -q '"rebuilt": *true' "$recording"; then
  echo "note: the HAR lost the body of an answer (marked \"rebuilt\" in the recording): playback" \
    "gives it as the description expects, so what the description says of that answer is not checked"
fi
cat >"$work/play.json" <<JSON
{ "adapters": [ { "name": "lab0", "index": 7, "address": "192.168.77.2",
                  "mask": "255.255.255.0", "mac": "02:4B:5A:00:00:02" } ],
  "devices": [ { "name": "played", $placed"recording": "$played",
                 "options": { "lostAnswersFrom": "$checked" } } ] }
JSON
"$krzpap" lab --lab "$work/play.json" >"$work/lab.out" 2>"$work/lab.err" &
lab=$!
tries=0
until grep -q '^KRZ_LAB=' "$work/lab.out"; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$lab" 2>/dev/null; then
    echo "the lab did not start:" >&2
    cat "$work/lab.err" >&2
    exit 1
  fi
  sleep 0.1
done
KRZ_LAB=$(sed -n 's/^KRZ_LAB=//p' "$work/lab.out")
KRZ_APDESCRIPTION_DIRS=$work/descriptions
export KRZ_LAB KRZ_APDESCRIPTION_DIRS

run() {
  command=$1
  shift
  set -- "$command" "$address" "$@"
  [ -z "$user" ] || set -- "$@" -u "$user"
  [ -z "$password" ] || set -- "$@" -p "$password"
  "$krzpap" --log "$work/krzpap.log" --modules krzpapdescriptions.dll "$@"
}

failed=0
if ! run show >"$work/show.txt"; then
  echo "FAILED: show" >&2
  failed=1
elif [ -n "$expected" ]; then
  if diff -u "$expected" "$work/show.txt"; then
    echo "passed: show prints $expected"
  else
    echo "FAILED: show differs from $expected (above: - expected, + shown)" >&2
    failed=1
  fi
else
  cat "$work/show.txt"
fi
if run configure --ssid "Checked SSID" >"$work/configure.txt" &&
  grep -q confirmed "$work/configure.txt" &&
  run show | grep -q '^SSID: *Checked SSID$'; then
  echo "passed: configure --ssid is confirmed and reads back"
else
  cat "$work/configure.txt" >&2
  echo "FAILED: configure --ssid" >&2
  failed=1
fi
if [ $failed -ne 0 ]; then
  echo "krzpap's log:" >&2
  tail -n 40 "$work/krzpap.log" >&2 || true
fi
exit $failed
