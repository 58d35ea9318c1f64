#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: settings
short_description: Keep a camera's settings as declared
description:
  - Takes the desired settings as a part of the camera's settings document (the document that
    C(apictl dump) writes and the gateway's C(settings.dump) answers), that is families, channels, settings,
    entries and values.
  - Reads the families concerned from the camera, works out which settings differ and loads only
    those (C(settings.load) of the difference). A setting that already has its value is not sent, so
    a second run reports no change.
  - A setting of several values (C(Deinterlace), C(QP), C(NetConfig), ...) may be given in part; the
    values not given are taken from the camera, since the camera sets such a setting whole.
  - Values are taken in the type the camera reports; C("25") for a number setting is 25, C(yes) is 1,
    a number for a text setting is its decimal text.
version_added: 1.0.0
author: apiarch
extends_documentation_fragment: apiarch.camera.connection
options:
  settings:
    description:
      - 'The desired settings, shaped as the dump document, for example
        C({video: {"channel 0": {Hue: 140}}, time: {Zone: "GMT+01:00"}}).'
      - A null value leaves that setting as it is.
      - A value that the camera keeps secret (it answers it as null) is refused here; give it in
        I(secrets).
    type: dict
    default: {}
  secrets:
    description:
      - Passwords and keys, shaped as I(settings) (for example C(mail.Password)). Never logged, never shown
        in a diff.
      - The camera never reveals a secret, so they cannot be compared; I(update_secrets) says when they are
        sent.
    type: dict
  update_secrets:
    description:
      - C(always) sends every secret given in I(secrets) on each run, and the task reports a change each
        time, as the module cannot know whether the camera had it.
      - C(never) sends none of them (a run with C(--check) or a routine run stays without changes; send them
        in a run of their own, for example with a tag).
      - A value given in I(secrets) that the camera does reveal is compared as any other, and only its
        value is hidden.
    type: str
    choices: [always, never]
    default: always
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
notes:
  - A setting that the camera refuses fails the task, naming its path and the camera's reason.
    The camera's load applies every other setting of the difference all the same (they do not depend on
    one another, and stopping half-way would leave as much undone); the task then reports C(changed) if
    any was applied, and a new run sends only what still differs.
  - A document the gateway refuses as a whole (an unknown family, a malformed value) applies nothing.
  - Keys that the camera leaves out of its dump (an empty name server, an empty fixed address) are sent
    when given; a key the camera does not know fails the task with the camera's reason.
'''

EXAMPLES = r'''
- name: Image and time settings of every camera of the site
  apiarch.camera.settings:
    url: "https://{{ inventory_hostname }}"
    user: admin
    password: "{{ camera_admin_password }}"
    ca_path: files/site-ca.pem
    settings:
      video:
        "channel 0": {Hue: 140, Saturation: 120, QP: {QP_I: 26}}
      time: {Zone: "GMT+01:00"}
      mail: {MailServer: mail.example.org, Port: 587, SSL: 1, Authentication: 1, User: cameras}

- name: The mail password, sent only in a run tagged secrets
  apiarch.camera.settings:
    url: "https://{{ inventory_hostname }}"
    user: admin
    password: "{{ camera_admin_password }}"
    secrets:
      mail: {Password: "{{ vault_mail_password }}"}
  tags: [secrets]
'''

RETURN = r'''
changes:
  description: Each setting that differed (would differ in check mode), with the camera's value before and
    the desired one after; secrets show as C(<hidden>).
  returned: always
  type: list
  elements: dict
  sample: [{path: "video/channel 0/Hue", before: 128, after: 140, secret: false}]
applied:
  description: How many settings the camera took (0 in check mode).
  returned: always
  type: int
  sample: 1
failed_settings:
  description: The settings the camera refused, each with its path and the camera's reason.
  returned: failure
  type: list
  elements: dict
  sample: [{path: "video/channel 1/Hue", error: "API_Video_SetHue answered with its failure value (0)"}]
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.apiarch.camera.plugins.module_utils.camera_client import (
    CONNECTION_ARGUMENT_SPEC, CameraError, client_for)
from ansible_collections.apiarch.camera.plugins.module_utils.settings_doc import (
    difference, families_of, refused_message, render, validate)


def main():
    argument_spec = dict(CONNECTION_ARGUMENT_SPEC)
    argument_spec.update(
        settings=dict(type='dict', default={}),
        secrets=dict(type='dict', no_log=True),
        update_secrets=dict(type='str', choices=['always', 'never'], default='always'),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    desired, secrets = module.params['settings'], module.params['secrets'] or {}

    errors = validate(desired, 'settings') + validate(secrets, 'secrets')
    if errors:
        module.fail_json(msg='not a settings document: ' + '; '.join(errors), errors=errors)

    client = client_for(module)
    result = dict(changed=False, changes=[], applied=0)
    try:
        families = families_of(desired, secrets)
        current = client.call('settings.dump', {'families': families}) if families else {}
    except CameraError as e:
        module.fail_json(**dict(result, **e.as_result()))
    if not isinstance(current, dict):
        module.fail_json(msg='settings.dump answered no document', **result)

    diff = difference(desired, current, secrets, module.params['update_secrets'])
    if diff.errors:
        module.fail_json(msg='; '.join(diff.errors), errors=diff.errors, **result)
    result['changes'] = diff.changes
    result['changed'] = bool(diff.changes)
    if module._diff:
        result['diff'] = dict(before=render(diff.changes, 'before'), after=render(diff.changes, 'after'),
                              before_header='%s (camera)' % client.endpoint, after_header='desired')
    if module.check_mode or not diff.changes:
        module.exit_json(**result)

    try:
        outcome = client.call('settings.load', {'document': diff.document})
    except CameraError as e:
        # A document refused whole, or no answer: nothing is known to be applied.
        result['changed'] = False
        module.fail_json(**dict(result, **e.as_result()))
    outcome = outcome if isinstance(outcome, dict) else {}
    failed = outcome.get('failed') or []
    result['applied'] = int(outcome.get('applied') or 0)
    if failed:
        result['changed'] = result['applied'] > 0
        module.fail_json(msg='the camera refused %d setting(s): %s' % (len(failed), refused_message(failed)),
                         failed_settings=failed, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
