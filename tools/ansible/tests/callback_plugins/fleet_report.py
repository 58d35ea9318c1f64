# The fleet test's report of a run, one JSON document (ansible-core has no JSON
# callback): {"stats": {host: counts}, "tasks": {task name: {host: result}}}.
import json

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION, CALLBACK_TYPE, CALLBACK_NAME = 2.0, 'stdout', 'fleet_report'

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.tasks = {}

    def v2_runner_on_ok(self, result, **failed):
        self.tasks.setdefault(result._task.get_name(), {})[result._host.get_name()] = dict(result._result, **failed)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.v2_runner_on_ok(result, failed=True)

    def v2_runner_on_unreachable(self, result):
        self.v2_runner_on_ok(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        self._display.display(json.dumps({'stats': dict((h, stats.summarize(h)) for h in stats.processed),
                                          'tasks': self.tasks}, default=str))
