#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: info
short_description: A camera's settings and identity as facts
description:
  - Reads the camera's settings document (all families or the ones named) and who the camera is, and
    returns both as facts, C(camera_settings) and C(camera_identity).
  - Changes nothing on the camera.
version_added: 1.0.0
author: apiarch
extends_documentation_fragment: apiarch.camera.connection
options:
  families:
    description: The families to read; all of them when not given.
    type: list
    elements: str
    choices: [video, network, wlan, ppp, 3g, ddns, time, users, mail, ftp, system, labels, motion, io, ptz,
              recording, sd]
  interface:
    description: The camera's network interface whose hardware address is its identity.
    type: str
    default: eth0
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  facts:
    support: full
notes:
  - Secrets (passwords, keys) come back as null; the camera never reveals them.
'''

EXAMPLES = r'''
- name: What the cameras have
  apiarch.camera.info:
    url: "https://{{ inventory_hostname }}"
    user: admin
    password: "{{ camera_admin_password }}"
    families: [video, time]

- name: Keep it beside the inventory
  ansible.builtin.copy:
    content: "{{ camera_settings | to_nice_json }}"
    dest: "backup/{{ inventory_hostname }}.json"
  delegate_to: localhost
'''

RETURN = r'''
ansible_facts:
  description: The facts.
  returned: always
  type: complex
  contains:
    camera_settings:
      description: The settings document of the families read (as the gateway's settings.dump answers it).
      returned: always
      type: dict
      sample: {time: {Zone: "GMT+00:00"}}
    camera_identity:
      description:
        - C(name) (the camera's name), C(mac) (the interface's hardware address), C(procename) (the
          daemon's process name), C(url), and the account the module used (C(user), C(level), C(role)).
        - A value the camera cannot give is null.
      returned: always
      type: dict
      sample: {name: "apisim camera", mac: "02:00:00:00:00:01", procename: apisim, url: "https://cam1/cgi-bin/apiweb",
               user: admin, level: 3, role: admin}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.apiarch.camera.plugins.module_utils.camera_client import (
    CONNECTION_ARGUMENT_SPEC, CameraError, client_for)
from ansible_collections.apiarch.camera.plugins.module_utils.settings_doc import FAMILIES


def _output(answer, name):
    """One output of an operation's answer in a batch, or None when it failed."""
    if isinstance(answer, CameraError) or not isinstance(answer, dict) or answer.get('result') == -1:
        return None
    return (answer.get('outputs') or {}).get(name)


def main():
    argument_spec = dict(CONNECTION_ARGUMENT_SPEC)
    argument_spec.update(
        families=dict(type='list', elements='str', choices=list(FAMILIES)),
        interface=dict(type='str', default='eth0'),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    client = client_for(module)
    families = module.params['families']
    try:
        # The account first: a wrong password fails here with the gateway's reason.
        whoami = client.call('session.whoami')
        settings = client.call('settings.dump', {'families': families} if families else {})
        name, procename, mac = client.batch([
            ('API_VELDA_GetCameraName', {}),
            ('API_System_GetProcename', {}),
            ('API_Net_GetMac', {'netinterface': module.params['interface']}),
        ])
    except CameraError as e:
        module.fail_json(**e.as_result())
    whoami = whoami if isinstance(whoami, dict) else {}
    identity = dict(name=_output(name, 'name'), procename=_output(procename, 'name'), mac=_output(mac, 'mac'),
                    url=client.endpoint, user=whoami.get('user'), level=whoami.get('level'), role=whoami.get('role'))
    module.exit_json(changed=False, ansible_facts=dict(camera_settings=settings, camera_identity=identity))


if __name__ == '__main__':
    main()
