# -*- coding: utf-8 -*-
# What to ask of a camera so that one account is as declared. Plain Python.
#
# The camera's account operations: add (name, password, level), delete (name),
# change the password (name, password), modify (ID, level, name, password). A
# password is never read back, and a level is changed only by a modify, which
# writes the password as well.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

ID_RANGE = range(0, 256)  # the by-ID look-up sends one byte


class Account:
    def __init__(self, name, level, account_id=None):
        self.name, self.level, self.id = name, level, account_id


def plan(found, name, state, level=None, password=None, update_password='always', own_user=None):
    """(steps, error): steps are (operation, params) pairs for the gateway, in
    order; found is the camera's Account of that name or None."""
    if state == 'absent':
        if found is None:
            return [], None
        if name == own_user:
            return [], 'refusing to delete %r: the module works as that account' % name
        return [('API_USER_SetDelUser', {'User': name})], None
    if found is None:
        if level is None or password is None:
            return [], 'creating %r needs a level and a password' % name
        return [('API_USER_SetAddUser', {'Level': level, 'User': name, 'Password': password})], None
    if level is not None and level != found.level:
        if password is None:
            return [], ('changing the level of %r needs its password: the camera changes a level only '
                        'together with the password' % name)
        if found.id is None:
            return [], 'the camera did not say the ID of %r' % name
        return [('API_USER_Modify', {'ID': found.id, 'Level': level, 'User': name, 'Password': password})], None
    if update_password == 'always' and password is not None:
        return [('API_USER_SetChangePassword', {'User': name, 'NewPassword': password})], None
    return [], None


def account_from_id_answer(account_id, answer):
    """An Account from one answer of API_USER_GetUserInfoByID, or None for an
    empty place (an empty name) or a failed look-up."""
    if not isinstance(answer, dict) or answer.get('result') != 0:
        return None
    outputs = answer.get('outputs') or {}
    name = outputs.get('User')
    if not name:
        return None
    return Account(name, outputs.get('Level'), account_id)
