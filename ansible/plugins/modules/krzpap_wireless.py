#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) krzpapconfigu developers. MIT licence (see LICENSE).

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: krzpap_wireless
short_description: A router's wireless network name, security mode and key, set idempotently
version_added: "1.0.0"
description:
  - Logs into the device with C(krzpap --json --show-secrets show) and compares what it holds with
    what is asked; only when something differs does it run C(krzpap --json configure), which
    writes the changes and reads each of them back.
  - A device that already holds the requested settings is left alone (C(changed=false)).
  - In check mode nothing is written; with C(--diff) the settings before and after are shown.
    The wireless key is never shown, printed or returned, only whether it changes.
  - A refused login is not tried again; the module fails with krzpap's own sentence.
  - Settings that are not given keep the device's current values.
options:
  address:
    description: The device's IPv4 address.
    type: str
    required: true
  mac:
    description: The device's MAC address, so that krzpap finds it again if its address changed.
    type: str
  user:
    description: Administrator user name (default the device's factory user name).
    type: str
  password:
    description: Administrator password (default the device's factory password).
    type: str
  ssid:
    description: The network name (1 to 32 bytes).
    type: str
  security:
    description: The security mode; every mode but C(none) needs a key.
    type: str
    choices: [none, wep, wpa-psk, wpa2-psk, wpa-wpa2-psk]
  encryption:
    description: The encryption (default chosen by krzpap from the mode and key).
    type: str
    choices: [none, wep64, wep128, tkip, aes, tkip-aes]
  key:
    description: The wireless key (passphrase, or WEP key); needs I(security).
    type: str
extends_documentation_fragment:
  - krzpap.routers.krzpap
notes:
  - I(password) and I(key) are kept out of logs and output (C(no_log)). krzpap receives them as
    arguments, which other users of the managed host may see while it runs.
author:
  - krzpapconfigu developers
'''

EXAMPLES = r'''
- name: The same network at every site
  krzpap.routers.krzpap_wireless:
    address: "{{ router_address }}"
    password: "{{ router_password }}"
    ssid: Branches
    security: wpa2-psk
    key: "{{ branch_key }}"
'''

RETURN = r'''
settings:
  description: The device's wireless settings after the task (network name, security, encryption; never the key).
  returned: success
  type: dict
  sample: {address: 192.168.77.10, ssid: Branches, security: wpa2-psk, encryption: aes}
changes:
  description: Each setting written, as read back (the key's value left out).
  returned: changed and not in check mode
  type: list
  elements: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.krzpap.routers.plugins.module_utils.krzpap import (
    COMMON_OPTIONS, failure, krzpap_document)

ARGUMENT_SPEC = dict(
    address=dict(type='str', required=True),
    mac=dict(type='str'),
    user=dict(type='str'),
    password=dict(type='str', no_log=True),
    ssid=dict(type='str'),
    security=dict(type='str', choices=['none', 'wep', 'wpa-psk', 'wpa2-psk', 'wpa-wpa2-psk']),
    encryption=dict(type='str', choices=['none', 'wep64', 'wep128', 'tkip', 'aes', 'tkip-aes']),
    key=dict(type='str', no_log=True),
    **COMMON_OPTIONS
)

SHOWN = ('address', 'vendor', 'model', 'ssid', 'security', 'encryption')
HIDDEN = '(hidden)'


def device_arguments(params):
    args = [params['address']]
    for option, flag in (('mac', '--mac'), ('user', '--user'), ('password', '--password')):
        if params[option] is not None:
            args += [flag, params[option]]
    return args


def wanted_changes(params, current):
    """The settings that differ from what the device holds: name -> requested value."""
    changes = {}
    for name in ('ssid', 'security', 'encryption', 'key'):
        if params[name] is not None and params[name] != (current.get(name) or ''):
            changes[name] = params[name]
    return changes


def configure_arguments(params, current, changes):
    args = ['configure'] + device_arguments(params)
    if 'ssid' in changes:
        args += ['--ssid', changes['ssid']]
    if set(changes) & set(('security', 'encryption', 'key')):
        # The mode, its encryption and its key go together; what is not asked keeps its value.
        security = params['security'] or current.get('security')
        args += ['--security', security]
        key = params['key'] if params['key'] is not None else current.get('key')
        if security != 'none' and key:
            args += ['--key', key]
        if params['encryption'] is not None:
            args += ['--encryption', params['encryption']]
    return args


def public(device):
    return dict((name, device.get(name)) for name in SHOWN)


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True,
                           required_by=dict(key='security'))
    params = module.params
    shown = krzpap_document(module, ['show'] + device_arguments(params), show_secrets=True)
    problem = failure(shown)
    if problem is not None:
        module.fail_json(msg=problem, rc=shown['exitCode'])
    current = shown['result']['device']
    changes = wanted_changes(params, current)
    before = public(current)
    before['key'] = HIDDEN
    after = dict(before)
    after.update((name, value) for name, value in changes.items() if name != 'key')
    if 'key' in changes:
        after['key'] = '(hidden, changed)'
    diff = dict(before=before, after=after)
    if not changes or module.check_mode:
        module.exit_json(changed=bool(changes), settings=after if changes else before, diff=diff)

    written = krzpap_document(module, configure_arguments(params, current, changes))
    problem = failure(written)
    if problem is not None:
        module.fail_json(msg=problem, rc=written['exitCode'], diff=diff)
    result = written['result']
    confirmed = [dict(setting=c['setting'], confirmed=c['confirmed'],
                      value=None if c['setting'] in ('key', 'password') else c['value'])
                 for c in result['changes']]
    settings = public(result['device'])
    settings['key'] = HIDDEN
    module.exit_json(changed=True, settings=settings, changes=confirmed, diff=diff)


if __name__ == '__main__':
    main()
