# -*- coding: utf-8 -*-
# Copyright (c) krzpapconfigu developers. MIT licence (see LICENSE).

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    # The options every module of the collection takes (module_utils' COMMON_OPTIONS).
    DOCUMENTATION = r'''
options:
  krzpap:
    description: The krzpap program, by name (looked up in PATH) or path.
    type: str
    default: krzpap
  network:
    description: The network backend (C(lab) or C(system)); default krzpap's own choice.
    type: str
  lab:
    description: The running lab to join (as C(KRZ_LAB) names it); default krzpap's own choice.
    type: str
  modules:
    description: The recognizer modules to load, as krzpap's C(--modules) takes them.
    type: str
'''
