#!/usr/bin/env bash
# The collection as it ships (ansible-galaxy collection build), run with Debian's ansible-core
# against three sites of one inventory, each a local connection with a lab of its own (its own
# XDG_STATE_HOME): the scan's facts; the example playbook in check mode with a diff, for real,
# and again (nothing changes); a key-only change; the site with a wrong password reported with
# krzpap's sentence; neither key nor password in any output.
# Usage: fleet.sh KRZPAP SOURCE_DIR WORK
set -uo pipefail
krzpap=$1 src=$2 work=$3
for name in $(env | sed -n 's/^\(KRZ_[A-Za-z0-9_]*\)=.*/\1/p'); do unset "$name"; done
rm -rf "$work"
mkdir -p "$work/collections/ansible_collections/krzpap/routers"
cd "$work" || exit 1

passed=0
failed=0
check() {  # check NAME CONDITION-COMMAND...
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
  fi
}
has() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }
# recap FILE HOST: the host's line of the play recap.
recap() { grep -E "^$2 +: ok=" "$1"; }
recap_has() { recap "$1" "$2" | grep -q "$3"; }

# ---- the collection as it ships ----
ansible-galaxy collection build "$src/ansible" --output-path "$work" >build.log 2>&1
tarball=$work/krzpap-routers-1.0.0.tar.gz
check "the collection builds" test -f "$tarball" || { cat build.log; exit 1; }
tar -xzf "$tarball" -C collections/ansible_collections/krzpap/routers
check "the tarball holds the modules, docs and playbooks" test -f \
  collections/ansible_collections/krzpap/routers/plugins/modules/krzpap_wireless.py -a -f \
  collections/ansible_collections/krzpap/routers/README.md -a -f \
  collections/ansible_collections/krzpap/routers/playbooks/same_network_everywhere.yml

cat >ansible.cfg <<CFG
[defaults]
collections_path = $work/collections
home = $work/home
local_tmp = $work/home/tmp
interpreter_python = /usr/bin/python3
nocolor = True
retry_files_enabled = False
CFG
export ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_NOCOLOR=1 PYTHONDONTWRITEBYTECODE=1

# Each module compiles, its documentation parses, and documents exactly its arguments, with the
# secrets kept out of logs.
check "the modules' documentation matches their arguments" /usr/bin/python3 - \
  collections/ansible_collections/krzpap/routers/plugins/modules/*.py <<'PY'
import importlib.util, os, sys, yaml
sys.path.insert(0, 'collections')
ok = True
for path in sys.argv[1:]:
    found = importlib.util.spec_from_file_location('m', path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    documentation = yaml.safe_load(module.DOCUMENTATION)
    options = documentation['options']
    for fragment in documentation.get('extends_documentation_fragment', []):
        name = fragment.rsplit('.', 1)[-1]
        where = os.path.join(os.path.dirname(path), '..', 'doc_fragments', name + '.py')
        found = importlib.util.spec_from_file_location('fragment', where)
        fragment_module = importlib.util.module_from_spec(found)
        found.loader.exec_module(fragment_module)
        options.update(yaml.safe_load(fragment_module.ModuleDocFragment.DOCUMENTATION)['options'])
    yaml.safe_load(module.EXAMPLES)
    yaml.safe_load(module.RETURN)
    for name, arg in module.ARGUMENT_SPEC.items():
        doc = options.get(name, {})
        for field in ('type', 'choices', 'default', 'required', 'elements'):
            if doc.get(field) != arg.get(field) and not (field == 'required' and not arg.get(field) and not doc.get(field)):
                print(path, name, field, doc.get(field), arg.get(field)); ok = False
    if set(options) != set(module.ARGUMENT_SPEC):
        print(path, 'documented but not taken, or taken but not documented:',
              set(options) ^ set(module.ARGUMENT_SPEC)); ok = False
    for name in ('password', 'key'):
        if name in module.ARGUMENT_SPEC and not module.ARGUMENT_SPEC[name].get('no_log'):
            print(path, name, 'is not no_log'); ok = False
sys.exit(0 if ok else 1)
PY
for module in krzpap_facts krzpap_wireless; do
  check "ansible-doc reads $module" ansible-doc -t module "krzpap.routers.$module" >/dev/null
done

# ---- three sites, the last with a wrong password ----
key='fleet passphrase 5e2d19'
wrong='not-gatekeeper-41c7'
cat >inventory.yml <<INV
sites:
  vars:
    ansible_connection: local
    krzpap_program: $krzpap
    router_address: 192.168.77.10
    router_user: admin
    router_password: gatekeeper
  hosts:
    site1: {krzpap_environment: {XDG_STATE_HOME: $work/site1}}
    site2: {krzpap_environment: {XDG_STATE_HOME: $work/site2}}
    site3: {krzpap_environment: {XDG_STATE_HOME: $work/site3}, router_password: $wrong}
INV
playbooks=collections/ansible_collections/krzpap/routers/playbooks
setting() {  # setting N NAME: what site N's router holds, read with krzpap
  XDG_STATE_HOME=$work/site$1 "$krzpap" --json --show-secrets show 192.168.77.10 -u admin \
    -p gatekeeper | /usr/bin/python3 -c "import json, sys; print(json.load(sys.stdin)['result']['device']['$2'])"
}
holds() { [ "$(setting "$1" "$2")" = "$3" ]; }
play() {  # play OUTPUT PLAYBOOK ARGS...
  local out=$1 book=$2
  shift 2
  ansible-playbook -i inventory.yml "$playbooks/$book" "$@" >"$out" 2>&1
}

play facts.out site_devices.yml
check "the facts name the Acme router at every site" \
  test "$(grep -c '192.168.77.10 Acme AP-100' facts.out)" -eq 3

# A site whose network holds nothing: its facts are an empty list, not a failure.
/usr/bin/python3 -c "import json, sys; d = json.loads(sys.stdin.read()); d['devices'] = []; print(json.dumps(d))" \
  < <("${krzpap%/*}/krzlab" dump generated 1) >empty-lab.json
KRZ_LAB_FILE=$work/empty-lab.json XDG_STATE_HOME=$work/site4 ansible localhost -c local \
  -m krzpap.routers.krzpap_facts -a "krzpap=$krzpap" >empty.out 2>&1
check "an empty site has no devices and no failure" grep -q '"krzpap_devices": \[\]' empty.out

same=(same_network_everywhere.yml -e network_ssid=Fleet -e "network_key='$key'")
play check.out "${same[@]}" --check --diff
for n in 1 2; do
  check "check mode: site$n would change" recap_has check.out site$n "changed=1 "
done
check "check mode: site3's failure is reported" recap_has check.out site3 "ignored=1"
check "check mode: the diff shows the new name" has check.out '+    "ssid": "Fleet"'
check "check mode: the diff says the key changes, not what it is" has check.out '(hidden, changed)'
check "check mode: nothing was written" holds 1 ssid AcmeOffice

play apply.out "${same[@]}" --diff -vvv
for n in 1 2; do
  check "site$n changed" recap_has apply.out site$n "changed=1 "
  check "site$n holds the network name" holds $n ssid Fleet
  check "site$n holds the key" holds $n key "$key"
done
report=$(sed -n '/TASK \[The sites where it failed\]/,/PLAY RECAP/p' apply.out)
check "the report names site3 with krzpap's sentence" grep -q 'site3: .*refused the credentials' \
  <<<"$report"
check "the report names no other site" bash -c '! grep -qE "site[12]:" <<<"$1"' _ "$report"
check "site3 kept its settings" holds 3 ssid AcmeOffice

play again.out "${same[@]}" --diff
for n in 1 2; do
  check "a second run changes nothing at site$n" recap_has again.out site$n "changed=0 "
done

play rekey.out same_network_everywhere.yml -e network_ssid=Fleet \
  -e "network_key='another passphrase 77'" --check --diff
check "a new key alone is a change" recap_has rekey.out site1 "changed=1 "
check "a new key alone leaves the name" lacks rekey.out '+    "ssid"'

for out in check.out apply.out again.out rekey.out; do
  check "$out shows no key" bash -c '! grep -qE "$1|another passphrase|correct horse" "$2"' _ \
    "$key" "$out"
  check "$out shows no password" lacks "$out" gatekeeper
  check "$out shows no wrong password" lacks "$out" "$wrong"
done

echo "$passed passed, $failed failed"
if [ "$failed" -ne 0 ]; then
  for out in facts.out empty.out check.out apply.out again.out rekey.out; do
    echo "==== $out"
    cat "$out"
  done
fi
[ "$failed" -eq 0 ]
