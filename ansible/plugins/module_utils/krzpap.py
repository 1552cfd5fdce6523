# Runs krzpap's JSON commands (krzpap --json) for the modules of this collection.
#
# Copyright (c) krzpapconfigu developers. MIT licence (see LICENSE).

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os

# The options every module takes: which krzpap, and which network, lab and modules it uses.
COMMON_OPTIONS = dict(
    krzpap=dict(type='str', default='krzpap'),
    network=dict(type='str'),
    lab=dict(type='str'),
    modules=dict(type='str'),
)


def krzpap_document(module, args, show_secrets=False):
    """Runs 'krzpap --json -q [--show-secrets] ARGS' once and returns its document.

    Fails the module when krzpap could not run or printed no document. A command that failed
    still returns its document: its 'error' holds krzpap's own sentence (see failure())."""
    params = module.params
    program = params['krzpap']
    if os.sep not in program:
        program = module.get_bin_path(program, required=True)
    command = [program, '--json', '-q']
    for option in ('network', 'lab', 'modules'):
        if params.get(option):
            command += ['--' + option, params[option]]
    if show_secrets:
        command.append('--show-secrets')
    command += args
    rc, out, err = module.run_command(command)
    try:
        document = json.loads(out)
    except ValueError:
        document = None
    if not isinstance(document, dict) or 'exitCode' not in document:
        module.fail_json(msg='krzpap printed no JSON document (exit code %d): %s'
                         % (rc, (err or out).strip()), rc=rc)
    return document


def failure(document):
    """krzpap's sentence when the command failed, else None."""
    if document.get('exitCode') == 0:
        return None
    error = document.get('error')
    message = error.get('message') if isinstance(error, dict) else None
    return message or 'krzpap ended with exit code %s' % document.get('exitCode')
