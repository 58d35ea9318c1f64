# -*- coding: utf-8 -*-
# The camera's HTTP gateway seen from the controller: JSON-RPC 2.0 over HTTPS
# with HTTP Basic authentication, one request per call or per batch.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

from ansible.module_utils.urls import open_url
from ansible.module_utils.six.moves.urllib.error import HTTPError, URLError
from ansible.module_utils.six.moves.urllib.parse import urlsplit
from ansible.module_utils.common.text.converters import to_native

GATEWAY_PATH = '/cgi-bin/apiweb'
MAX_BATCH = 256  # the gateway's bound on one batch

CONNECTION_ARGUMENT_SPEC = dict(
    url=dict(type='str', required=True),
    user=dict(type='str', required=True, aliases=['username']),
    password=dict(type='str', required=True, no_log=True),
    validate_certs=dict(type='bool', default=True),
    ca_path=dict(type='path'),
    timeout=dict(type='int', default=30),
)

# JSON-RPC error codes of the gateway, for messages.
ERROR_NAMES = {
    -32700: 'parse error', -32600: 'invalid request', -32601: 'method not found', -32602: 'invalid params',
    -32603: 'internal error', -32001: 'not authenticated', -32002: 'not allowed for this role',
    -32003: 'the camera daemon does not answer', -32004: 'outbox full', -32005: 'too many failed logins',
    -32010: 'the operation failed',
}


class CameraError(Exception):
    """A call that did not give a result: the gateway's code, reason and data."""

    def __init__(self, message, code=None, data=None, http_status=None):
        super(CameraError, self).__init__(message)
        self.message = message
        self.code = code
        self.data = data
        self.http_status = http_status

    def as_result(self):
        out = {'msg': self.message}
        if self.code is not None:
            out['error_code'] = self.code
        if self.data is not None:
            out['error_data'] = self.data
        if self.http_status is not None:
            out['http_status'] = self.http_status
        return out


def _rpc_error(error, prefix=''):
    if not isinstance(error, dict):
        return CameraError('%smalformed error answer' % prefix)
    code = error.get('code')
    reason = error.get('message') or ERROR_NAMES.get(code, 'error')
    return CameraError('%s%s (%s)' % (prefix, reason, code), code=code, data=error.get('data'))


class CameraClient:
    def __init__(self, url, user, password, validate_certs=True, ca_path=None, timeout=30):
        parts = urlsplit(url)
        if parts.scheme not in ('https', 'http') or not parts.hostname:
            raise CameraError('url: expects https://HOST[:PORT][/PATH], not %r' % url)
        if parts.username or parts.password:
            # Credentials in a URL end up in logs: they go in user and password.
            raise CameraError('url: carries credentials; give them as user and password')
        base = url.rstrip('/')
        self.endpoint = base if base.endswith(GATEWAY_PATH) else base + GATEWAY_PATH
        self.user = user
        self._password = password
        self.validate_certs = validate_certs
        self.ca_path = ca_path
        self.timeout = timeout
        self._next_id = 0

    def _open(self, path, body=None):
        headers = {'Accept': 'application/json'}
        if body is not None:
            headers['Content-Type'] = 'application/json'
        try:
            response = open_url(self.endpoint + path, data=body, method='POST' if body is not None else 'GET',
                                headers=headers, url_username=self.user, url_password=self._password,
                                force_basic_auth=True, validate_certs=self.validate_certs, ca_path=self.ca_path,
                                timeout=self.timeout, follow_redirects='none', use_netrc=False)
            return response.read()
        except HTTPError as e:
            raise self._http_error(e)
        except URLError as e:
            raise CameraError('cannot reach %s: %s' % (self.endpoint, to_native(e.reason)))
        except (OSError, ValueError) as e:  # time-outs, resets, TLS faults outside URLError
            raise CameraError('cannot reach %s: %s' % (self.endpoint, to_native(e)))

    def _http_error(self, e):
        """The gateway's own reason where its answer carries one."""
        try:
            answer = json.loads(e.read() or b'null')
        except (ValueError, OSError):
            answer = None
        prefix = 'HTTP %d: ' % e.code
        if isinstance(answer, dict) and 'error' in answer:
            err = _rpc_error(answer['error'], prefix)
            err.http_status = e.code
            return err
        return CameraError('%s%s' % (prefix, to_native(e.reason)), http_status=e.code)

    def _request(self, payload):
        text = self._open('/rpc', json.dumps(payload, ensure_ascii=False).encode('utf-8', 'surrogateescape'))
        try:
            return json.loads(text.decode('utf-8', 'surrogateescape'))
        except ValueError as e:
            raise CameraError('the gateway answered no JSON: %s' % to_native(e))

    def _id(self):
        self._next_id += 1
        return self._next_id

    def call(self, method, params=None):
        """The result of one method, or CameraError with the gateway's reason."""
        request = {'jsonrpc': '2.0', 'method': method, 'id': self._id()}
        if params is not None:
            request['params'] = params
        answer = self._request(request)
        if not isinstance(answer, dict):
            raise CameraError('%s: the gateway answered no JSON-RPC object' % method)
        if 'error' in answer:
            raise _rpc_error(answer['error'], '%s: ' % method)
        return answer.get('result')

    def batch(self, calls):
        """[(method, params)] -> [result or CameraError], in the calls' order."""
        results = []
        for start in range(0, len(calls), MAX_BATCH):
            chunk = calls[start:start + MAX_BATCH]
            ids = [self._id() for _ in chunk]
            answers = self._request([{'jsonrpc': '2.0', 'method': m, 'params': p, 'id': i}
                                     for (m, p), i in zip(chunk, ids)])
            if isinstance(answers, dict) and 'error' in answers:
                raise _rpc_error(answers['error'])
            if not isinstance(answers, list):
                raise CameraError('the gateway answered a batch with no list')
            by_id = dict((a.get('id'), a) for a in answers if isinstance(a, dict))
            for (method, _), i in zip(chunk, ids):
                a = by_id.get(i)
                if a is None:
                    results.append(CameraError('%s: no answer in the batch' % method))
                elif 'error' in a:
                    results.append(_rpc_error(a['error'], '%s: ' % method))
                else:
                    results.append(a.get('result'))
        return results

    def operation(self, name, **params):
        """An exported operation by name: (C result, outputs)."""
        result = self.call(name, params)
        if not isinstance(result, dict):
            raise CameraError('%s: unexpected answer %r' % (name, result))
        return result.get('result'), result.get('outputs') or {}

    def snapshot(self, channel):
        return self._open('/snapshot?channel=%d' % int(channel))


def client_for(module):
    """The client for an AnsibleModule's connection options (fails the task on a bad url)."""
    p = module.params
    try:
        return CameraClient(p['url'], p['user'], p['password'], p['validate_certs'], p['ca_path'], p['timeout'])
    except CameraError as e:
        module.fail_json(**e.as_result())
