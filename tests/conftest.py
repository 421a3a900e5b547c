import os

from hypothesis import HealthCheck, settings

settings.register_profile("ci", max_examples=150, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("thorough", max_examples=5000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("VANTOR_HYPOTHESIS_PROFILE", "ci"))
