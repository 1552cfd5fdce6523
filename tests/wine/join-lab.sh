# Sourced by the Wine tests: starts a Linux krzlab ($krzlab), exports its KRZ_LAB for the Windows
# programs to join, and shuts it down when the script exits.
lab_pid=
finish() {
  if [ -n "$lab_pid" ]; then
    "$krzlab" ctl "$KRZ_LAB" shutdown >/dev/null 2>&1 || kill "$lab_pid" 2>/dev/null
    wait "$lab_pid" 2>/dev/null
  fi
}
trap finish EXIT
exec 3< <(exec "$krzlab")
lab_pid=$!
read -r ready <&3
export "${ready?}"
