#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) krzpapconfigu developers. MIT licence (see LICENSE).

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: krzpap_facts
short_description: The access points and routers a site's scan finds, as facts
version_added: "1.0.0"
description:
  - Runs C(krzpap --json scan) on the managed host and sets the devices it finds as facts.
  - A scan that finds no device is not a failure; its facts are an empty list.
  - Changes nothing on any device.
options:
  all:
    description: Also list hosts that answered but that no module recognizes.
    type: bool
    default: false
  interfaces:
    description: Sweep only these adapters (names or addresses); default every usable adapter.
    type: list
    elements: str
extends_documentation_fragment:
  - krzpap.routers.krzpap
author:
  - krzpapconfigu developers
'''

EXAMPLES = r'''
- name: The site's devices
  krzpap.routers.krzpap_facts:

- name: Every device at the site's lab
  krzpap.routers.krzpap_facts:
    all: true
  environment:
    XDG_STATE_HOME: /srv/site-12/state
'''

RETURN = r'''
ansible_facts:
  description: The scan's findings.
  returned: always
  type: complex
  contains:
    krzpap_devices:
      description: >-
        The devices found, each as krzpap's JSON document names it (address, mac, macVendor,
        vendor, model, firmware, recognized).
      type: list
      elements: dict
    krzpap_scan:
      description: How many hosts answered and how many were recognized, and the adapters swept.
      type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.krzpap.routers.plugins.module_utils.krzpap import (
    COMMON_OPTIONS, failure, krzpap_document)

ARGUMENT_SPEC = dict(
    all=dict(type='bool', default=False),
    interfaces=dict(type='list', elements='str'),
    **COMMON_OPTIONS
)

# krzpap's exit code when a scan found nothing.
NOTHING_FOUND = 3


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    args = ['scan']
    if module.params['all']:
        args.append('--all')
    for interface in module.params['interfaces'] or []:
        args += ['--interface', interface]
    document = krzpap_document(module, args)
    result = document.get('result')
    problem = failure(document)
    if problem is not None and not (document['exitCode'] == NOTHING_FOUND and result):
        module.fail_json(msg=problem, rc=document['exitCode'])
    result = result or {}
    scan = dict((k, result.get(k)) for k in ('answered', 'recognized', 'adapters'))
    module.exit_json(changed=False, ansible_facts=dict(
        krzpap_devices=result.get('devices', []), krzpap_scan=scan))


if __name__ == '__main__':
    main()
