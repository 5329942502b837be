import os

from hypothesis import HealthCheck, settings

# "ci" keeps the whole suite quick; HYPOTHESIS_PROFILE=long explores much further.
settings.register_profile(
    "ci", max_examples=40, stateful_step_count=30, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
settings.register_profile(
    "long", max_examples=2000, stateful_step_count=80, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
