import os
import sys

from hypothesis import HealthCheck, settings

settings.register_profile("ci", max_examples=150, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("thorough", max_examples=5000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("VANTOR_HYPOTHESIS_PROFILE", "ci"))


def pytest_terminal_summary(terminalreporter):
    # The test module's name depends on where pytest was started.
    for name, module in list(sys.modules.items()):
        if name.rpartition(".")[2] == "test_state_machine" and module.CoderMachine.calls:
            terminalreporter.write_line(
                f"state machine: {module.CoderMachine.calls} method calls checked against "
                "the reference coder")
