#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: user
short_description: A camera account present or absent, with its level
description:
  - Adds, deletes or changes one of the camera's accounts.
  - The camera never reveals a password, so a password cannot be compared; I(update_password) says when
    it is sent.
  - After each change the account is read back, because the camera acknowledges an account request
    whether it took it or not; a request it did not carry out fails the task.
version_added: 1.0.0
author: apiarch
extends_documentation_fragment: apiarch.camera.connection
options:
  name:
    description: The account's name (no C(:)).
    type: str
    required: true
  state:
    description: Whether the account exists.
    type: str
    choices: [present, absent]
    default: present
  level:
    description:
      - The account's level (1 viewer, 2 operator, 3 administrator on the gateway). Needed to create it.
      - A change of level needs I(account_password) as well, as the camera changes a level only together with the
        password.
    type: int
  account_password:
    description:
      - The account's password (no C(:), at most 127 characters). Needed to create it. Never logged.
    type: str
  update_password:
    description:
      - C(always) sets the password on every run where it is given, and the task reports a change each
        time (the camera cannot say whether it was the same).
      - C(on_create) sets it only when the account is created, or when its level changes (see I(level)).
    type: str
    choices: [always, on_create]
    default: always
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
notes:
  - The module does not delete the account it works as (I(user)).
'''

EXAMPLES = r'''
- name: The site's operators' account
  apiarch.camera.user:
    url: "https://{{ inventory_hostname }}"
    user: admin
    password: "{{ camera_admin_password }}"
    name: monitoring
    level: 1
    account_password: "{{ vault_monitoring_password }}"
    update_password: on_create

- name: No more factory guest account
  apiarch.camera.user:
    url: "https://{{ inventory_hostname }}"
    user: admin
    password: "{{ camera_admin_password }}"
    name: guest
    state: absent
'''

RETURN = r'''
account:
  description: The account as the camera has it after the task (none when absent). No password.
  returned: always
  type: dict
  sample: {name: monitoring, level: 1, id: 2}
operations:
  description: The camera operations the task made (would make, in check mode); no passwords.
  returned: always
  type: list
  elements: str
  sample: [API_USER_SetAddUser]
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.apiarch.camera.plugins.module_utils.camera_client import (
    CONNECTION_ARGUMENT_SPEC, CameraError, client_for)
from ansible_collections.apiarch.camera.plugins.module_utils.accounts import (
    ID_RANGE, Account, account_from_id_answer, plan)

SCAN_CHUNK = 32


def find_account(client, name, need_id_unless_level=None):
    """The camera's Account of that name, or None. By name first; the IDs are
    searched only when the answer cannot tell (an absent account reads as
    level 0) or the ID is needed for a change of level."""
    _, outputs = client.operation('API_USER_GetUserInfoByName', User=name)
    level = outputs.get('Level')
    if level and (need_id_unless_level is None or level == need_id_unless_level):
        return Account(name, level)
    ids = list(ID_RANGE)
    for start in range(0, len(ids), SCAN_CHUNK):
        chunk = ids[start:start + SCAN_CHUNK]
        answers = client.batch([('API_USER_GetUserInfoByID', {'ID': i}) for i in chunk])
        for i, answer in zip(chunk, answers):
            account = account_from_id_answer(i, answer)
            if account is not None and account.name == name:
                return account
    return None


def describe(account):
    return None if account is None else dict(name=account.name, level=account.level, id=account.id)


def main():
    argument_spec = dict(CONNECTION_ARGUMENT_SPEC)
    argument_spec.update(
        name=dict(type='str', required=True),
        state=dict(type='str', choices=['present', 'absent'], default='present'),
        level=dict(type='int'),
        account_password=dict(type='str', no_log=True),
        update_password=dict(type='str', choices=['always', 'on_create'], default='always', no_log=False),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    p = module.params
    client = client_for(module)
    try:
        found = find_account(client, p['name'], p['level'] if p['state'] == 'present' else None)
    except CameraError as e:
        module.fail_json(**e.as_result())
    steps, error = plan(found, p['name'], p['state'], p['level'], p['account_password'], p['update_password'],
                        own_user=p['user'])
    if error:
        module.fail_json(msg=error, account=describe(found))
    result = dict(changed=bool(steps), operations=[op for op, _ in steps], account=describe(found))
    if module._diff:
        before = {} if found is None else dict(name=found.name, level=found.level)
        after = {}
        if p['state'] == 'present':
            after = dict(name=p['name'], level=p['level'] if p['level'] is not None else found.level)
        if any(op in ('API_USER_SetChangePassword', 'API_USER_Modify') for op, _ in steps):
            after['password'] = 'set anew'
        result['diff'] = dict(before=before, after=after)
    if module.check_mode or not steps:
        module.exit_json(**result)

    try:
        for operation, params in steps:
            client.operation(operation, **params)
        now = find_account(client, p['name'], p['level'] if p['state'] == 'present' else None)
    except CameraError as e:
        module.fail_json(**dict(result, **e.as_result()))
    result['account'] = describe(now)
    if p['state'] == 'absent' and now is not None:
        module.fail_json(msg='the camera kept the account %r' % p['name'], **result)
    if p['state'] == 'present' and (now is None or (p['level'] is not None and now.level != p['level'])):
        module.fail_json(msg='the camera did not take the account %r (see its log for the reason)' % p['name'],
                         **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
