# The fleet test's report of a playbook run, as one JSON document:
# {"stats": {host: {ok, changed, failures, unreachable, ...}},
#  "tasks": {task name: {host: result}}}  (ansible-core has no JSON callback)
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
name: fleet_report
type: stdout
short_description: one JSON document per run, for the fleet test
description: The results of every task by host, and the play recap.
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'stdout'
    CALLBACK_NAME = 'fleet_report'

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.tasks = {}

    def _record(self, result, **extra):
        outcome = dict(result._result, **extra)
        self.tasks.setdefault(result._task.get_name(), {})[result._host.get_name()] = outcome

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        hosts = sorted(stats.processed.keys())
        self._display.display(json.dumps({'stats': dict((h, stats.summarize(h)) for h in hosts),
                                          'tasks': self.tasks}, default=str))
