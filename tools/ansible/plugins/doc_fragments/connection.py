# -*- coding: utf-8 -*-
# The connection options that every module of the collection takes.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  url:
    description:
      - The camera's web address, C(https://HOST[:PORT]); the gateway's path C(/cgi-bin/apiweb) is added
        unless the address already ends with it.
      - Credentials do not belong in it (they would reach logs); use I(user) and I(password).
    type: str
    required: true
  user:
    description: The camera account the module works as (HTTP Basic authentication).
    type: str
    required: true
    aliases: [username]
  password:
    description: That account's password. Never logged.
    type: str
    required: true
  validate_certs:
    description:
      - Whether the camera's TLS certificate is checked (chain and host name).
      - Leave it on and name the site's CA with I(ca_path) instead.
    type: bool
    default: true
  ca_path:
    description: A PEM file of the CA that signed the cameras' certificates.
    type: path
  timeout:
    description: Seconds to wait for the gateway's answer to one request.
    type: int
    default: 30
notes:
  - The module runs on the controller (C(connection=local) or C(delegate_to=localhost)); nothing is
    installed on the camera.
  - The account's role limits what it may do; settings, accounts and system actions need an administrator.
'''
