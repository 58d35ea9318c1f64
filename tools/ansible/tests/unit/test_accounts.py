import pytest

from accounts import Account, account_from_id_answer, plan

BOB = Account('bob', 2, 4)


@pytest.mark.parametrize('found, args, steps, error', [
    (None, dict(state='absent'), [], None),
    (BOB, dict(state='absent'), ['API_USER_SetDelUser'], None),
    (BOB, dict(state='absent', own_user='bob'), [], 'refusing to delete'),
    (None, dict(level=2, password='pw'), ['API_USER_SetAddUser'], None),
    (None, dict(level=2), [], 'creating'),
    (BOB, dict(level=2, password='pw', update_password='on_create'), [], None),
    (BOB, dict(level=2, password='pw', update_password='always'), ['API_USER_SetChangePassword'], None),
    (BOB, dict(level=2), [], None),
    (BOB, dict(level=3, password='pw', update_password='on_create'), ['API_USER_Modify'], None),
    (BOB, dict(level=3), [], 'changing the level'),
    (Account('bob', 2), dict(level=3, password='pw'), [], 'the camera did not say the ID'),
])
def test_plan(found, args, steps, error):
    args.setdefault('state', 'present')
    got, why = plan(found, 'bob', **args)
    assert [op for op, _ in got] == steps
    assert (why or '').startswith(error or '')
    if got and got[0][0] == 'API_USER_Modify':
        assert got[0][1] == {'ID': 4, 'Level': 3, 'User': 'bob', 'Password': 'pw'}


@pytest.mark.parametrize('answer, expected', [
    ({'result': 0, 'outputs': {'User': 'bob', 'Level': 2, 'Password': None}}, ('bob', 2, 7)),
    ({'result': 0, 'outputs': {'User': '', 'Level': 0, 'Password': None}}, None),  # an empty place
    ({'result': -1, 'outputs': {}}, None),
    (Exception('no answer'), None),
])
def test_account_from_id_answer(answer, expected):
    account = account_from_id_answer(7, answer)
    assert (account and (account.name, account.level, account.id)) == expected
