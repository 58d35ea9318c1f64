# -*- coding: utf-8 -*-
# The camera's settings document (what `apictl dump` writes and the gateway's
# settings.dump answers): its checks, and the difference between a desired
# part of it and what a camera has. Plain Python, no Ansible import, so that
# it can be tried on its own.
#
# The shape: {family: {key: value, "channel N": {key: value}}}. A value is a
# number, a text, a list of numbers (a record), an object of named values (a
# setting of several values, always loaded whole) or an object of numbered
# entries ("0", "1", ...) holding any of those. The gateway answers a secret
# (password, key) as null; a null in a desired document means "leave as it is".

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

FAMILIES = ('video', 'network', 'wlan', 'ppp', '3g', 'ddns', 'time', 'users', 'mail', 'ftp', 'system',
            'labels', 'motion', 'io', 'ptz', 'recording', 'sd')
CHANNELS = range(0, 4)
HIDDEN = '<hidden>'
HIDDEN_SET = '<hidden: set anew>'  # differs from HIDDEN, so the diff shows the line
# What a load document may hold, as the camera's loader counts it.
MAX_VALUES = 8191

_MISSING = object()


def _is_index(key):
    return isinstance(key, str) and key.isdigit() and key.isascii() and (key == '0' or key[0] != '0')


def channel_of(key):
    """The channel number of a "channel N" key, else None."""
    if isinstance(key, str) and key.startswith('channel ') and _is_index(key[8:]):
        return int(key[8:])
    return None


def _check_scalar(value, path, errors):
    if isinstance(value, bool):
        return  # taken as 0 or 1
    if isinstance(value, int):
        return
    if isinstance(value, float):
        if not value.is_integer():
            errors.append('%s: expects a whole number, not %r' % (path, value))
        return
    if isinstance(value, str):
        if '\0' in value:
            errors.append('%s: a text may not contain a NUL character' % path)
        return
    if isinstance(value, list):
        for i, item in enumerate(value):
            if isinstance(item, bool) or not isinstance(item, (int, float)) or (
                    isinstance(item, float) and not item.is_integer()):
                errors.append('%s: a record is a list of whole numbers (item %d is %r)' % (path, i, item))
                return
        return
    errors.append('%s: expects a number, a text or a list of numbers, not %s' % (path, type(value).__name__))


def _check_value(value, path, errors, entries_allowed=True):
    if value is None:
        return
    if not isinstance(value, dict):
        return _check_scalar(value, path, errors)
    if not value:
        errors.append('%s: an empty object sets nothing' % path)
        return
    indexes = [k for k in value if _is_index(k)]
    if indexes and len(indexes) != len(value):
        errors.append('%s: mixes numbered entries with named values' % path)
        return
    for key, item in value.items():
        inner = '%s/%s' % (path, key)
        if indexes:
            if not entries_allowed:
                errors.append('%s: entries are not nested' % inner)
            else:
                _check_value(item, inner, errors, entries_allowed=False)
        elif isinstance(item, dict):
            errors.append('%s: a named value is a number, a text or a list of numbers' % inner)
        elif item is not None:
            _check_scalar(item, inner, errors)


def validate(document, name='settings'):
    """Every fault of a desired document, each with its path; [] when sound."""
    if not isinstance(document, dict):
        return ['%s: expects an object of families' % name]
    errors = []
    for family, members in document.items():
        if family not in FAMILIES:
            errors.append('%s: no such family (one of %s)' % (family, ', '.join(FAMILIES)))
            continue
        if members is None:
            continue
        if not isinstance(members, dict):
            errors.append('%s: expects an object of settings' % family)
            continue
        for key, value in members.items():
            path = '%s/%s' % (family, key)
            if isinstance(key, str) and key.startswith('channel'):
                if channel_of(key) not in CHANNELS:
                    errors.append('%s: no such channel (channel 0 to channel 3)' % path)
                elif value is not None and not isinstance(value, dict):
                    errors.append('%s: expects an object of settings' % path)
                else:
                    for inner_key, inner in (value or {}).items():
                        inner_path = '%s/%s' % (path, inner_key)
                        if channel_of(inner_key) is not None:
                            errors.append('%s: channels are not nested' % inner_path)
                        else:
                            _check_value(inner, inner_path, errors)
            else:
                _check_value(value, path, errors)
    if not errors and count_values(document) > MAX_VALUES:
        errors.append('%s: more than %d values' % (name, MAX_VALUES))
    return errors


def count_values(node):
    if isinstance(node, dict):
        return sum(count_values(v) for v in node.values())
    if isinstance(node, list):
        return max(1, len(node))
    return 1


def _coerce(want, have, path):
    """The desired value in the type the camera reports (YAML and templates
    give "25" for 25, yes for 1); (value, error)."""
    if isinstance(want, bool):
        want = int(want)
    if isinstance(want, float) and want.is_integer():
        want = int(want)
    if isinstance(want, list):
        return [int(v) for v in want], None
    if have is _MISSING or have is None:
        return want, None
    if isinstance(have, int) and not isinstance(have, bool) and isinstance(want, str):
        text = want.strip()
        try:
            return int(text, 10), None
        except ValueError:
            return want, '%s: expects a number, not %r' % (path, want)
    if isinstance(have, str) and isinstance(want, int):
        return str(want), None
    if isinstance(have, list) and not isinstance(want, list):
        return want, '%s: expects a list of %d numbers' % (path, len(have))
    return want, None


class Difference:
    """What must be loaded so that a camera has the desired settings."""

    def __init__(self):
        self.changes = []      # [{'path', 'before', 'after', 'secret'}], in the document's order
        self.document = {}     # the load document: only what differs
        self.errors = []       # desired values that cannot be compared (with their paths)

    def _put(self, parts, value):
        node = self.document
        for part in parts[:-1]:
            node = node.setdefault(part, {})
        node[parts[-1]] = value

    def _one(self, parts, want, have, secret_given, update_secrets):
        path = '/'.join(parts)
        unknown = have is None or have is _MISSING  # the camera answers a secret as null
        if have is None and not secret_given:
            return self.errors.append('%s: the camera keeps this value secret: give it under secrets' % path)
        if isinstance(want, dict):
            merged = dict(have) if isinstance(have, dict) else {}
            for key, item in want.items():
                if item is not None:
                    merged[key], error = _coerce(item, merged.get(key, _MISSING), '%s/%s' % (path, key))
                    if error:
                        return self.errors.append(error)
            want = merged
        else:
            want, error = _coerce(want, have, path)
            if error:
                return self.errors.append(error)
        if secret_given and unknown:
            if update_secrets != 'always':
                return
        elif want == have:
            return
        if secret_given:
            before, after = HIDDEN, HIDDEN_SET
        else:
            before, after = (None if have is _MISSING else have), want
        self.changes.append({'path': path, 'before': before, 'after': after, 'secret': secret_given})
        self._put(parts, want)

    def _setting(self, parts, want, have, secret_given, update_secrets):
        if want is None:
            return
        if isinstance(want, dict) and want and all(_is_index(k) for k in want):
            entries = have if isinstance(have, dict) else {}
            for index, item in want.items():
                if item is not None:
                    self._one(parts + [index], item, entries.get(index, _MISSING), secret_given, update_secrets)
            return
        self._one(parts, want, have, secret_given, update_secrets)

    def add(self, desired, current, secret_given=False, update_secrets='always'):
        for family, members in (desired or {}).items():
            have_family = current.get(family) or {}
            for key, value in (members or {}).items():
                if channel_of(key) is None:
                    self._setting([family, key], value, have_family.get(key, _MISSING), secret_given, update_secrets)
                    continue
                have_channel = have_family.get(key) or {}
                for inner_key, inner in (value or {}).items():
                    self._setting([family, key, inner_key], inner, have_channel.get(inner_key, _MISSING),
                                  secret_given, update_secrets)
        return self


def difference(desired, current, secrets=None, update_secrets='always'):
    """The Difference between a desired document (and its secrets) and the
    camera's current one (as settings.dump answers it)."""
    overlap = set(_leaf_paths(desired or {})) & set(_leaf_paths(secrets or {}))
    if overlap:
        diff = Difference()
        diff.errors = ['%s: given both in settings and in secrets' % path for path in sorted(overlap)]
        return diff
    diff = Difference().add(desired, current)
    if secrets:
        diff.add(secrets, current, secret_given=True, update_secrets=update_secrets)
    return diff


def _leaf_paths(document):
    for family, members in document.items():
        for key, value in (members or {}).items():
            if channel_of(key) is None:
                for p in _setting_paths([family, key], value):
                    yield p
            else:
                for inner_key, inner in (value or {}).items():
                    for p in _setting_paths([family, key, inner_key], inner):
                        yield p


def _setting_paths(parts, value):
    if value is None:
        return []
    if isinstance(value, dict) and value and all(_is_index(k) for k in value):
        return ['/'.join(parts + [k]) for k, v in value.items() if v is not None]
    return ['/'.join(parts)]


def families_of(*documents):
    """The families a run must read, in the camera's order."""
    wanted = set()
    for document in documents:
        wanted.update((document or {}).keys())
    return [f for f in FAMILIES if f in wanted]


def render(changes, side):
    """One line per changed setting, for Ansible's before/after diff."""
    return ''.join('%s: %s\n' % (c['path'], json.dumps(c[side], ensure_ascii=False)) for c in changes)


def refused_message(failed):
    """The camera's refusals as one line each: "path: reason"."""
    return '; '.join('%s: %s' % (f.get('path', '?'), f.get('error', '?')) for f in failed)
