#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: action
short_description: A camera's system actions, and a snapshot fetched to the controller
description:
  - C(restart) restarts the camera's control daemon in place (the settings are read back from its
    storage).
  - C(factory_defaults) puts every setting back to its factory value, accounts and network included;
    the camera may then no longer be reachable at its address, nor with the account the module used.
  - C(restore) does the same but keeps the wired network, the name servers and the wireless settings, so
    that the camera stays reachable (accounts still go back to the factory ones).
  - C(flush) writes the camera's pending changes to its storage.
  - C(snapshot) takes a JPEG picture of one channel and writes it to I(dest) on the controller.
version_added: 1.0.0
author: apiarch
extends_documentation_fragment: apiarch.camera.connection
options:
  action:
    description: What to do.
    type: str
    required: true
    choices: [restart, factory_defaults, restore, flush, snapshot]
  channel:
    description: The video channel of the snapshot (0 to 3).
    type: int
    default: 0
  dest:
    description: Where the snapshot goes on the controller (a file; its folder must exist). Needed for
      C(snapshot).
    type: path
attributes:
  check_mode:
    support: full
    details: In check mode the system actions are only reported; a snapshot is taken but not written.
  diff_mode:
    support: none
notes:
  - A system action always reports a change. The camera acknowledges it on receipt; it does not say when
    it is done.
'''

EXAMPLES = r'''
- name: Restart the cameras one at a time
  apiarch.camera.action:
    url: "https://{{ inventory_hostname }}"
    user: admin
    password: "{{ camera_admin_password }}"
    action: restart
  throttle: 1

- name: A picture of each camera, on the controller
  apiarch.camera.action:
    url: "https://{{ inventory_hostname }}"
    user: viewer
    password: "{{ camera_viewer_password }}"
    action: snapshot
    channel: 0
    dest: "pictures/{{ inventory_hostname }}.jpg"
'''

RETURN = r'''
operation:
  description: The camera operation of a system action.
  returned: for a system action
  type: str
  sample: API_System_Boot
size:
  description: The snapshot's size in bytes.
  returned: for a snapshot
  type: int
  sample: 23817
checksum:
  description: The SHA-1 of the snapshot.
  returned: for a snapshot
  type: str
dest:
  description: Where the snapshot was written.
  returned: for a snapshot
  type: str
'''

import hashlib
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.apiarch.camera.plugins.module_utils.camera_client import (
    CONNECTION_ARGUMENT_SPEC, CameraError, client_for)

OPERATIONS = dict(restart='API_System_Boot', factory_defaults='API_System_Default', restore='API_System_Restore',
                  flush='API_System_SyncFlash')
JPEG_START = b'\xff\xd8'


def snapshot(module, client):
    p = module.params
    dest = p['dest']
    if not 0 <= p['channel'] <= 3:
        module.fail_json(msg='channel: 0 to 3, not %d' % p['channel'])
    if not os.path.isdir(os.path.dirname(os.path.abspath(dest))):
        module.fail_json(msg='dest: the folder of %s does not exist' % dest)
    try:
        picture = client.snapshot(p['channel'])
    except CameraError as e:
        module.fail_json(**e.as_result())
    if not picture.startswith(JPEG_START):
        module.fail_json(msg='the camera answered no JPEG picture (%d bytes)' % len(picture))
    checksum = hashlib.sha1(picture).hexdigest()
    changed = True
    if os.path.isfile(dest):
        with open(dest, 'rb') as f:
            changed = hashlib.sha1(f.read()).hexdigest() != checksum
    if changed and not module.check_mode:
        tmp = dest + '.part'
        with open(tmp, 'wb') as f:
            f.write(picture)
        module.atomic_move(tmp, dest)
    module.exit_json(changed=changed, size=len(picture), checksum=checksum, dest=dest)


def main():
    argument_spec = dict(CONNECTION_ARGUMENT_SPEC)
    argument_spec.update(
        action=dict(type='str', required=True, choices=['restart', 'factory_defaults', 'restore', 'flush',
                                                        'snapshot']),
        channel=dict(type='int', default=0),
        dest=dict(type='path'),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True,
                           required_if=[('action', 'snapshot', ['dest'])])
    client = client_for(module)
    if module.params['action'] == 'snapshot':
        snapshot(module, client)
    operation = OPERATIONS[module.params['action']]
    if module.check_mode:
        module.exit_json(changed=True, operation=operation)
    try:
        client.operation(operation)
    except CameraError as e:
        module.fail_json(operation=operation, **e.as_result())
    module.exit_json(changed=True, operation=operation)


if __name__ == '__main__':
    main()
