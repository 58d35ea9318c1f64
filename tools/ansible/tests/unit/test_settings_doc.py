import pytest

from settings_doc import HIDDEN, HIDDEN_SET, difference, families_of, render, validate

CURRENT = {
    'video': {'Codetype': 0, 'CutPixel': {'0': 0, '1': 5},
              'channel 0': {'Hue': 128, 'Deinterlace': {'Mode': 0, 'Level': 0}},
              'channel 1': {'Hue': 128}},
    'network': {'DNS': {'0': '192.168.1.1'}, 'NetConfig': {'ip': '10.0.0.2', 'netmask': '255.0.0.0', 'gateway': '10.0.0.1'}},
    'ppp': {'MTU': '1492', 'Password': None},
    'ptz': {'POSITION': {'1': [1, 0, 0]}},
    'mail': {'Password': None, 'Port': 25},
}


@pytest.mark.parametrize('desired, changes, document', [
    # equal after coercion: YAML strings and booleans, whole floats
    ({'video': {'channel 0': {'Hue': '128'}, 'Codetype': False}, 'ppp': {'MTU': 1492}}, [], {}),
    ({'video': {'channel 1': {'Hue': 140.0}}},
     [('video/channel 1/Hue', 128, 140)], {'video': {'channel 1': {'Hue': 140}}}),
    # a setting of several values given in part is loaded whole
    ({'video': {'channel 0': {'Deinterlace': {'Level': 3}}}},
     [('video/channel 0/Deinterlace', {'Mode': 0, 'Level': 0}, {'Mode': 0, 'Level': 3})],
     {'video': {'channel 0': {'Deinterlace': {'Mode': 0, 'Level': 3}}}}),
    # entries: only the differing one; an entry the dump left out counts as absent
    ({'video': {'CutPixel': {'0': 0, '1': 6}}, 'network': {'DNS': {'1': '9.9.9.9'}}},
     [('video/CutPixel/1', 5, 6), ('network/DNS/1', None, '9.9.9.9')],
     {'video': {'CutPixel': {'1': 6}}, 'network': {'DNS': {'1': '9.9.9.9'}}}),
    ({'ptz': {'POSITION': {'1': [1, 2, 3]}}}, [('ptz/POSITION/1', [1, 0, 0], [1, 2, 3])],
     {'ptz': {'POSITION': {'1': [1, 2, 3]}}}),
    # null leaves a setting alone
    ({'video': {'channel 1': {'Hue': None}, 'CutPixel': {'1': None}}}, [], {}),
])
def test_difference(desired, changes, document):
    assert validate(desired) == []
    diff = difference(desired, CURRENT)
    assert diff.errors == []
    assert [(c['path'], c['before'], c['after']) for c in diff.changes] == changes
    assert diff.document == document


@pytest.mark.parametrize('secrets, update, changes', [
    ({'mail': {'Password': 's3cret'}}, 'always', [('mail/Password', HIDDEN, HIDDEN_SET)]),
    ({'mail': {'Password': 's3cret'}}, 'never', []),
    # readable after all: compared, the value still hidden
    ({'mail': {'Port': 25}}, 'always', []),
    ({'mail': {'Port': 587}}, 'never', [('mail/Port', HIDDEN, HIDDEN_SET)]),
])
def test_secrets_are_never_shown(secrets, update, changes):
    diff = difference({}, CURRENT, secrets, update)
    assert [(c['path'], c['before'], c['after']) for c in diff.changes] == changes
    shown = render(diff.changes, 'before') + render(diff.changes, 'after')
    assert 's3cret' not in shown and '587' not in shown


@pytest.mark.parametrize('desired, secrets, error', [
    ({'ppp': {'Password': 'x'}}, None, 'ppp/Password: the camera keeps this value secret'),
    ({'mail': {'Password': 'x'}}, {'mail': {'Password': 'y'}}, 'mail/Password: given both'),
    ({'video': {'channel 1': {'Hue': 'bright'}}}, None, 'video/channel 1/Hue: expects a number'),
    ({'ptz': {'POSITION': {'1': 7}}}, None, 'ptz/POSITION/1: expects a list of 3 numbers'),
])
def test_values_that_cannot_be_compared(desired, secrets, error):
    errors = difference(desired, CURRENT, secrets).errors
    assert len(errors) == 1 and errors[0].startswith(error)


@pytest.mark.parametrize('document, fault', [
    ([], 'settings: expects an object of families'),
    ({'vidoe': {}}, 'vidoe: no such family'),
    ({'time': 'GMT'}, 'time: expects an object of settings'),
    ({'video': {'channel 4': {'Hue': 1}}}, 'video/channel 4: no such channel'),
    ({'video': {'channel 01': {'Hue': 1}}}, 'video/channel 01: no such channel'),
    ({'video': {'channel 0': {'channel 1': {}}}}, 'video/channel 0/channel 1: channels are not nested'),
    ({'video': {'channel 0': {'Hue': 1.5}}}, 'video/channel 0/Hue: expects a whole number'),
    ({'labels': {'CameraName': 'a\0b'}}, 'labels/CameraName: a text may not contain a NUL'),
    ({'ptz': {'POSITION': {'1': [1, 'a', 3]}}}, 'ptz/POSITION/1: a record is a list of whole numbers'),
    ({'video': {'CutPixel': {'0': 1, 'Mode': 2}}}, 'video/CutPixel: mixes numbered entries'),
    ({'motion': {'channel 0': {'MotionRegion': {'0': {'1': {}}}}}}, 'motion/channel 0/MotionRegion/0/1: entries are not nested'),
    ({'video': {'channel 0': {'QP': {'QP_I': {'x': 1}}}}}, 'video/channel 0/QP/QP_I: a named value is'),
    ({'video': {'channel 0': {'QP': {}}}}, 'video/channel 0/QP: an empty object'),
    ({'io': {'Direction': {str(i): 0 for i in range(9000)}}}, 'settings: more than 8191 values'),
])
def test_validation_names_the_fault(document, fault):
    errors = validate(document)
    assert len(errors) == 1 and errors[0].startswith(fault), errors


def test_families_in_the_cameras_order():
    assert families_of({'time': {}, 'video': {}}, {'mail': {}, 'video': {}}) == ['video', 'time', 'mail']
